# SPDX-License-Identifier: LGPL-2.1-or-later
# GIR names of C types the prefixes do not fit: the object Iqhub, whose name is
# the library's own prefix, becomes Iqhub.Hub; types named in lower case get
# the prefix (Iqhub.ErrorDomain, Iqhub.ErrorCode, ...). C keeps its names.
s/^Iqhub$/IqhubHub/
s/^IqhubClass$/IqhubHubClass/
s/^sdrError\(Domain\|Code\)$/IqhubError\1/
s/^tapTarget$/IqhubTapTarget/
s/^target_machine_t$/IqhubTargetMachine/
s/^sId_t$/IqhubSampleId/
s/^e_sched_evt_type$/IqhubSchedEvtType/
