#!/bin/sh
# The demo: provisions the default card and runs the main jobs on it.
set -eu
build=${1:-build}
here=$(cd "$(dirname "$0")" && pwd)
card=$build/card
echo "== Provisioning the default card (SoftHSM2 token) in $card"
# The card's module keeps one listing order from one card start to the next.
module=$build/libcard_listing_order.so
[ -f "$module" ] || module=""
"$here/provision-card.sh" "$card" "$build/card_order_probe" $module
export SOFTHSM2_CONF="$card/softhsm2.conf"
export LD_LIBRARY_PATH="$card/module"
echo "== The card's certificates, read through the card library"
"$build/tests/cardcrypto/card_demo"
