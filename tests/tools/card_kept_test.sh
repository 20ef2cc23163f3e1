#!/bin/sh
# Provisioning keeps a card that is there: a second run leaves the token and
# its keys as they were (data wrapped for the card stays openable), and a
# folder without a working card is moved aside, not removed. Works on a card
# of its own in a scratch folder.
# usage: card_kept_test.sh PROVISION PROBE MODULE DOCLOCK
set -u
provision=$1 probe=$2 module=$3 doclock=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
fail=0
check() { if eval "$2"; then echo "ok   $1"; else echo "FAIL $1"; fail=1; fi; }

"$provision" card "$probe" "$module" > first.log 2>&1 || { cat first.log; exit 1; }
echo secret > data.txt
echo 123456 > pin
export SOFTHSM2_CONF=$work/card/softhsm2.conf LD_LIBRARY_PATH=$work/card/module
"$doclock" encrypt --pin-file pin --cert card/enc.crt.pem --output data.p7 data.txt 2> /dev/null
before=$(cat card/enc.crt.pem card/sign.crt.pem | sha256sum)
"$provision" card "$probe" "$module" > second.log 2>&1
check second_run_keeps_the_card "grep -q 'keeping the card' second.log && [ \"\$(cat card/enc.crt.pem card/sign.crt.pem | sha256sum)\" = \"$before\" ]"
check wrapped_data_still_opens "\"$doclock\" decrypt --pin-file pin --output data.out data.p7 2> /dev/null && cmp -s data.txt data.out"

mkdir broken && echo "mine" > broken/notes.txt
"$provision" broken "$probe" "$module" > broken.log 2>&1
check broken_folder_moved_aside "[ -f broken/provisioned ] && grep -qx mine broken.broken-*/notes.txt"
exit $fail
