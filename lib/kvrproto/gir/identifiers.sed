# SPDX-License-Identifier: LGPL-2.1-or-later
# GIR names of the C types named in lower case: Kvrproto.ErrorCode, and the
# frame record kvrframe (C only: hosts use the frame objects) as Kvrproto.Record.
s/^kvrprotoErrorCode$/KvrprotoErrorCode/
s/^kvrframe\(.*\)$/KvrprotoRecord\1/
