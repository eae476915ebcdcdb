# apt-get with patience for the mirror, sourced by setup.sh and
# setup-wine32.sh.
#
# A mirror in the middle of a sync, or a proxy holding a stale copy, serves
# index files whose size or hash does not match their Release file
# ("Mirror sync in progress?"), and apt-get update then fails as a whole
# although the other indexes arrived (seen on CI's mirror for the i386
# security index, for a day and more).
# rck_apt_update tries again a few times, a while apart; when an index
# still fails it says so and goes on, because the indexes that did arrive
# are used and the install that follows is what decides: it fails when a
# package it needs is in none of them.
#
#   rck_apt_update CMD...    runs CMD... update (CMD is apt-get with its
#                            options, or a function that runs it)

rck_apt_update() {
    local try
    for try in 1 2 3; do
        "$@" update && return 0
        [ "$try" -eq 3 ] || {
            echo "apt-get update failed (try $try of 3); again in $((try * 10)) s" >&2
            sleep $((try * 10))
        }
    done
    echo "apt-get update failed 3 times; going on with the indexes that arrived" >&2
}

