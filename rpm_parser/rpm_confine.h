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
// can't be gained either.
// True when confined; false where the kernel offers no such filter.
bool RpmConfine();

#endif  // RPM_PARSER_RPM_CONFINE_H_
