#!/bin/sh
# netns_run.sh UNSHARE_FLAG IP_PROGRAM PROGRAM [ARGUMENT...]
#
# Runs PROGRAM in a network namespace of its own (unshare -n as root, -rn
# with an unprivileged user namespace) that has nothing but the loopback
# interface, brought up with IP_PROGRAM. Test programs that bind fixed ports
# or change network state run here, so that parallel runs never meet and the
# host is never touched; LUMO_TEST_NETNS=1 tells them where they are.
flag=$1
ip=$2
shift 2
exec unshare "$flag" -- sh -c '"$0" link set lo up && LUMO_TEST_NETNS=1 exec "$@"' "$ip" "$@"
