# SPDX-License-Identifier: LGPL-2.1-or-later
# The methods of Iqhub (iqhub_start, ...) and its iqhub_get_type share the
# library's symbol prefix: seen as iqhub_hub_*, they become methods of
# Iqhub.Hub. The filters' functions and iqhub_onload keep their names.
/^iqhub_\(ifilter\|device_filter\|hmac_filter\)_/b
/^iqhub_onload$/b
s/^iqhub_/iqhub_hub_/
