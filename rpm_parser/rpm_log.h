// One log record through the platform log writer, with this system's fixed routing values.
#ifndef RPM_PARSER_RPM_LOG_H_
#define RPM_PARSER_RPM_LOG_H_

#include "platform/zq_log.h"

#define RPM_LOG(...) ZQ_WriteLog(4, 3, 1, 0, __FILE__, __LINE__, __VA_ARGS__)

#endif  // RPM_PARSER_RPM_LOG_H_
