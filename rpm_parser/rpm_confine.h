// SPDX-FileCopyrightText: The rpm_parser authors
// SPDX-License-Identifier: Apache-2.0
// Confinement of the process before it reads untrusted bytes: a fault in the decoder must not
// hand whoever wrote the package anything beyond the run itself.
#ifndef RPM_PARSER_RPM_CONFINE_H_
#define RPM_PARSER_RPM_CONFINE_H_

// From here on the process may only read, write, poll and fstat descriptors it already holds,
// send on its connected log socket, grow and shrink memory that is never executable, read the
// clock and exit. Every other call fails with ENOSYS: opening or creating files, looking a path
// up, running programs, making processes, sockets or connections, changing files, signalling or
// tracing other processes, mapping executable memory, pushing input into a terminal. Privileges
// can't be gained either. What it can't stop: code injected into the run may still send any bytes
// on the log's socket, records in any program's name among them.
// True when confined; false, with errno set, where the kernel, or a filter the process already runs
// under, refuses it.
bool RpmConfine();

#endif  // RPM_PARSER_RPM_CONFINE_H_
