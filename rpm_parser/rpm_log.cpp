// SPDX-FileCopyrightText: The rpm_parser authors
// SPDX-License-Identifier: Apache-2.0
// The per-run cap on log records.
#include "rpm_parser/rpm_log.h"

namespace {

unsigned long long g_written = 0;
unsigned long long g_dropped = 0;

}  // namespace

bool RpmLogAdmit() {
  if (g_written < kRpmLogMax) {
    ++g_written;
    return true;
  }
  ++g_dropped;
  return false;
}

void RpmLogClose() {
  if (g_dropped > 0) {
    RPM_LOG_END("records over the limit of %u left out: %llu.", kRpmLogMax, g_dropped);
  }
  g_written = 0;
  g_dropped = 0;
}
