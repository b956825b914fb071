# SPDX-License-Identifier: LGPL-2.1-or-later
# The device library's types carry three prefixes (Vek, Vektype, xvek): in the
# GIR they all sit in Xvek (Xvek.Device, Xvek.CtlMode, Xvek.ErrorDomain, ...).
s/^xvekError\(Domain\|Code\)$/XvekError\1/
s/^VekKvrlogLevel$/XvekLogLevel/
s/^VeklogCb$/XvekLogCallback/
s/^Vektype/Xvek/
s/^Vek/Xvek/
