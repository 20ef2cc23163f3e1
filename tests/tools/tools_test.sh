#!/bin/sh
# The docseal and doclock tools end to end on the SoftHSM card, with the
# demo validation service: exit statuses of success and of failures, what
# they print, and that no half-written file is left behind.
# usage: tools_test.sh TOOLS_DIR   (VORPIN_CARD_DIR, VORPIN_CARD_PIN: the card)
set -u
tools=$1
card=${VORPIN_CARD_DIR:?}
pin=${VORPIN_CARD_PIN:?}
docseal=$tools/docseal
doclock=$tools/doclock
here=$(cd "$(dirname "$0")" && pwd)
export LC_ALL=C.UTF-8
work=$(mktemp -d)
responder_pid=""
trap '[ -n "$responder_pid" ] && kill $responder_pid 2>/dev/null; rm -rf "$work"' EXIT
cd "$work"
failures=0
out=$work/out
err=$work/err

fail() {
  echo "FAIL $name: $*"
  sed 's/^/     out: /' "$out"
  sed 's/^/     err: /' "$err"
  failures=$((failures + 1))
}
# have TOOL COMMAND: the tool is built and offers the command (a failure
# when it does not; the rows of that command are then left out).
have() {
  [ -x "$1" ] && "$1" --help 2>/dev/null | grep -q "^  $2 " && return 0
  echo "FAIL $(basename "$1") has no command '$2'"
  failures=$((failures + 1))
  return 1
}
# run NAME STATUS COMMAND...: the command (stdin from /dev/null, no
# controlling terminal) must end with STATUS.
run() {
  name=$1 want=$2
  shift 2
  setsid -w "$@" < /dev/null > "$out" 2> "$err"
  got=$?
  if [ "$got" != "$want" ]; then
    fail "exit status $got, expected $want"
    return 1
  fi
  echo "ok   $name"
}
# run_pin NAME STATUS PIN COMMAND...: the same with PIN on standard input.
run_pin() {
  name=$1 want=$2 p=$3
  shift 3
  echo "$p" | setsid -w "$@" > "$out" 2> "$err"
  got=$?
  if [ "$got" != "$want" ]; then
    fail "exit status $got, expected $want"
    return 1
  fi
  echo "ok   $name"
}
says() { grep -q -- "$1" "$out" "$err" || fail "no '$1' in the output"; }
no_temp_left() {
  # The temporary name: ".NAME.PID.COUNT.NANOSECONDS" beside the output.
  left=$(find "$1" -name '.*.[0-9]*.[0-9]*.[0-9]*' | head -1)
  [ -z "$left" ] || fail "temporary file left: $left"
}

mkdir -p tree/sub "tree/with space"
echo one > tree/a.txt
echo two > tree/sub/b.txt
printf 'caf\303\251\n' > "tree/with space/$(printf 'caf\303\251.txt')"
echo "report" > report.txt
echo "notes" > notes.txt
echo "not a signature" > junk.sig

# ---- docseal: conventions ---------------------------------------------------------
if [ -x "$docseal" ]; then
  run help 0 "$docseal" --help && says "Commands:"
  run version 0 "$docseal" --version && says "docseal "
  run unknown_command 2 "$docseal" frobnicate && says "unknown command"
  run no_command 2 "$docseal"
fi
if have "$docseal" sign; then
  run sign_help 0 "$docseal" sign --help && says "--pin-stdin"
  run pin_as_argument_refused 2 "$docseal" sign --pin "$pin" report.txt && says "unknown option --pin"
  run no_pin_source_no_terminal 2 "$docseal" sign report.txt && says "no terminal"
  [ ! -e report.txt.sig ] || fail "a signature appeared without a PIN"
fi

# ---- docseal: signing and verifying --------------------------------------------------
if have "$docseal" sign; then
  run_pin sign_file 0 "$pin" "$docseal" sign --pin-stdin --signer Alice report.txt &&
    says "into 'report.txt.sig'"
  [ -s report.txt.sig ] || fail "no report.txt.sig"
  no_temp_left .
  run_pin sign_dir 0 "$pin" "$docseal" sign --pin-stdin --signer Alice tree/ &&
    says "into 'tree/dir.sig'"
  [ -s tree/dir.sig ] || fail "no tree/dir.sig"
  no_temp_left tree
  echo "$pin" > pinfile
  run sign_pin_file_named_output 0 "$docseal" sign --pin-file pinfile --output named.sig notes.txt
  [ -s named.sig ] || fail "no named.sig"
  run_pin sign_missing_path 3 "$pin" "$docseal" sign --pin-stdin missing.txt &&
    says "DOCSEAL_ERR_PATH"
  run_pin sign_wrong_pin 13 000000 "$docseal" sign --pin-stdin notes.txt &&
    says "13 DOCSEAL_ERR_PIN: the PIN is empty or incorrect"
  [ ! -e notes.txt.sig ] || fail "a signature was left after a wrong PIN"
  no_temp_left .
  run_pin sign_unwritable_place 4 "$pin" "$docseal" sign --pin-stdin --output no/such/dir/x.sig \
    notes.txt && says "DOCSEAL_ERR_WRITE"
  # An output that cannot be written is told before the PIN is asked for:
  # without a PIN option and a terminal, the output's fault is what is said.
  mkdir -p ro && echo r > ro/r.txt && chmod 555 ro && mkfifo sig.fifo
  while IFS='|' read -r cmd says; do
    case $cmd in *ro/*) [ "$(id -u)" = 0 ] && continue ;; esac  # root writes anywhere
    # shellcheck disable=SC2086
    run "output_checked_before_pin: $cmd" "${says%%:*}" "$docseal" $cmd && says "${says#*:}"
  done <<ROWS
sign ro/r.txt|4:cannot write into 'ro'
sign --output sig.fifo notes.txt|4:no regular file
timestamp --output ro/t.sig|2:cannot write into 'ro'
timestamp --output sig.fifo|2:no regular file
ROWS
  [ -p sig.fifo ] || fail "the pipe was replaced"
  mkdir -p other && echo three > other/c.txt
  run_pin sign_multi 0 "$pin" "$docseal" sign --pin-stdin notes.txt other
  [ -s notes.txt.sig ] && [ -s other.sig ] && [ ! -e other/dir.sig ] ||
    fail "SignMulti did not write notes.txt.sig and other.sig"
  run_pin sign_multi_semicolon 2 "$pin" "$docseal" sign --pin-stdin "a;b" notes.txt
  # A name with "\" cannot stand in the file list: refused, nothing written.
  mkdir -p odd && echo x > 'odd/back\slash.txt'
  run_pin sign_backslash_name 3 "$pin" "$docseal" sign --pin-stdin odd &&
    says "name 'odd/back.slash.txt' cannot be held in a file list"
  [ -z "$(ls -A odd | grep -v 'back')" ] || fail "something was written into odd/"
fi
if have "$docseal" verify && [ -s report.txt.sig ]; then
  run verify_file 0 "$docseal" verify --ca "$card/ca.crt.pem" report.txt &&
    says "^valid: signed by 'Alice'" && says "certificate:  .*CN = Alice Demo" &&
    says "signing time: 20[0-9-]* [0-9:]* UTC"
  run verify_dir 0 "$docseal" verify --ca "$card/ca.crt.pem" tree
  run verify_signature_only 0 "$docseal" verify --ca "$card/ca.crt.pem" --signature report.txt.sig
  run verify_json 0 "$docseal" verify --ca "$card/ca.crt.pem" --json tree &&
    python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert d["code"]==0 and d["valid"] and d["trust"]=="trusted" and d["text"]=="Alice" and d["signers"][0]["subject"].endswith("CN = Alice Demo") and d["signers"][0]["signingTime"], d' "$out" ||
    fail "bad JSON"
  run verify_named_signature 0 "$docseal" verify --ca "$card/ca.crt.pem" --signature named.sig notes.txt
  run verify_not_a_signature 10 "$docseal" verify --signature junk.sig report.txt
  run verify_nothing 2 "$docseal" verify
  echo "changed" >> report.txt
  run verify_changed_file 7 "$docseal" verify report.txt &&
    says "mismatch: 檔案內容與簽章值不符" && says "7 DOCSEAL_ERR_FILE_MISMATCH"
  echo "extra" > tree/extra.txt
  run verify_added_file 8 "$docseal" verify tree && says "目錄中多了 extra.txt"
  run verify_added_file_json 8 "$docseal" verify --json tree &&
    python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert d["code"]==8 and not d["valid"] and d["text"].endswith("目錄中多了 extra.txt"), d' "$out" ||
    fail "bad JSON"
  run verify_ascii_locale 8 env LC_ALL=C "$docseal" verify tree &&
    says "the directory also holds: extra.txt"
fi
# A signer's text is shown with its control bytes as "\xNN" (and "\x" itself
# escaped), so a self-made text cannot rewrite the verdict's line.
if have "$docseal" sign && have "$docseal" verify; then
  echo spoof > spoof.txt
  while IFS='|' read -r text shown; do
    name="control_bytes_escaped: $shown"
    signer=$(printf '%b' "$text")
    echo "$pin" | "$docseal" sign --pin-stdin --signer "$signer" spoof.txt > /dev/null 2>&1 &&
      "$docseal" verify spoof.txt > "$out" 2> "$err"
    ! grep -q "$(printf '[\r\033]')" "$out" && grep -qF "signed by '$shown'" "$out" &&
      echo "ok   $name" || fail "not shown escaped"
  done <<ROWS
\r\033[2Kvalid: forged|\x0d\x1b[2Kvalid: forged
\0302\0233 31m|\xc2\x9b 31m
a\\\\x41 tab\tend|a\x5cx41 tab\x09end
ROWS
fi
if have "$docseal" verify-local && [ -s tree/dir.sig ]; then
  run verify_local 0 "$docseal" verify-local --ca "$card/ca.crt.pem" tree/dir.sig
  echo "more" >> tree/a.txt
  run verify_local_changed 8 "$docseal" verify-local tree/dir.sig
fi

# ---- docseal: reading signature files --------------------------------------------------
if have "$docseal" info && [ -s report.txt.sig ]; then
  run info 0 "$docseal" info report.txt.sig && says "^Alice$"
  run info_json 0 "$docseal" info --json report.txt.sig && says '"signer":"Alice"'
  run info_not_a_signature 3 "$docseal" info junk.sig
fi
if have "$docseal" cert && [ -s report.txt.sig ]; then
  run cert_pem 0 "$docseal" cert --pem --output signer.pem report.txt.sig
  [ "$(openssl x509 -in signer.pem -outform DER | od -An -tx1)" = \
    "$(od -An -tx1 "$card/sign.crt.der")" ] || fail "the signer's certificate is not the card's"
  run cert_base64 0 "$docseal" cert report.txt.sig
  [ "$(tr -d '\n' < "$out")" = "$(base64 -w0 "$card/sign.crt.der")" ] || fail "wrong Base64"
  run cert_not_a_signature 9 "$docseal" cert junk.sig
fi
if have "$docseal" timestamp; then
  run_pin timestamp 0 "$pin" "$docseal" timestamp --pin-stdin
  base64 -d "$out" > ts.der 2>/dev/null &&
    openssl cms -verify -inform DER -noverify -in ts.der -out ts.content 2>/dev/null &&
    [ "$(od -An -tx1 ts.content | tr -d ' \n')" = "00000000aec9c257c3b1b3b9" ] ||
    fail "the time-stamp signature does not hold the time-stamp content"
fi

# ---- docseal: the card and validation ----------------------------------------------------
if have "$docseal" pin; then
  run_pin pin_ok 0 "$pin" "$docseal" pin --pin-stdin && says "correct"
  run_pin pin_wrong 13 000000 "$docseal" pin --pin-stdin
  run pin_from_fd 0 sh -c "exec 3<pinfile; \"$docseal\" pin --pin-fd 3"
  # An empty PIN is refused before the card, so it uses up no try.
  run_pin pin_empty 2 "" "$docseal" pin --pin-stdin && says "the PIN is empty"
fi
if have "$docseal" card; then
  serial=$(openssl x509 -in "$card/sign.crt.pem" -noout -serial | sed 's/serial=//')
  run card 0 "$docseal" card && says "alice.demo@example.org" && says "HC01" && says "$serial"
  run card_json 0 "$docseal" card --json &&
    python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert d["code"]==0 and d["extensionTail"]=="HC01" and len(d["serial"])==32, d' "$out" ||
    fail "bad JSON"
  run card_pem 0 "$docseal" card --pem && openssl x509 -in "$out" -noout || fail "no PEM"
  run card_no_module 11 env LD_LIBRARY_PATH=/nonexistent "$docseal" card && says "DOCSEAL_ERR_START" &&
    says "aetpkss1.dll cannot be loaded: .*No such file" && says "Using a real card"
fi
if have "$docseal" validate; then
  "$tools/xkms-responder" --ca "$card/ca.crt.pem" --revoked "$card/revoked.txt" \
    --port-file port --quiet &
  responder_pid=$!
  i=0
  while [ ! -s port ] && [ $i -lt 100 ]; do
    i=$((i + 1))
    sleep 0.05
  done
  url=http://127.0.0.1:$(cat port)/xkms
  run validate_card 0 "$docseal" validate --url "$url" --card && says "valid"
  run validate_file 0 "$docseal" validate --url "$url" "$card/sign.crt.der"
  run validate_revoked 24 "$docseal" validate --url "$url" "$card/revoked.crt.pem" &&
    says "invalid: status"
  run validate_expired 25 "$docseal" validate --url "$url" "$card/expired.crt.pem" &&
    says "invalid: validity interval"
  run validate_https 21 "$docseal" validate --url "https://127.0.0.1:1/" "$card/sign.crt.pem"
  run validate_no_certificate 2 "$docseal" validate --url "$url" junk.sig
  run validate_no_url 2 "$docseal" validate "$card/sign.crt.pem"
  if [ -s report.txt.sig ]; then
    run verify_with_validation 0 "$docseal" verify --ca "$card/ca.crt.pem" --validate "$url" \
      --signature named.sig notes.txt && says "^valid:"
  fi
  kill $responder_pid
  wait $responder_pid 2>/dev/null
  responder_pid=""
  run validate_service_gone 21 "$docseal" validate --url "$url" "$card/sign.crt.pem" &&
    says "cannot connect to '127.0.0.1' port .*: Connection refused"
  run verify_validation_service_gone 21 "$docseal" verify --ca "$card/ca.crt.pem" \
    --validate "$url" --signature named.sig notes.txt && says "intact but NOT VALID" &&
    says "Connection refused"
fi

# ---- docseal: the faults of ordinary use, one block each ---------------------------------
ca=$card/ca.crt.pem
json_has() { python3 -c "import json,sys; d=json.load(open(sys.argv[1])); assert $1, d" "$out" ||
  fail "JSON: $1"; }
if have "$docseal" sign && have "$docseal" verify; then
  # 1: signing a directory again must not list its old signature file,
  # with the default name and with --output inside the directory.
  mkdir -p again && echo a > again/a.txt
  for round in 1 2; do
    run_pin "sign_again_$round" 0 "$pin" "$docseal" sign --pin-stdin again
  done
  run verify_signed_again 0 "$docseal" verify --ca "$ca" again
  for round in 1 2; do
    run_pin "sign_again_output_$round" 0 "$pin" "$docseal" sign --pin-stdin --output again/own.sig \
      again
  done
  run verify_signed_again_output 0 "$docseal" verify --ca "$ca" --signature again/own.sig again
  no_temp_left again

  # 2: a long mismatch (150 names 300 levels down) has no buffer to overflow.
  mkdir -p deep && echo top > deep/top.txt
  run_pin sign_deep 0 "$pin" "$docseal" sign --pin-stdin deep
  d=deep
  i=0
  while [ $i -lt 300 ]; do d=$d/level$i; i=$((i + 1)); done
  mkdir -p "$d"
  i=0
  while [ $i -lt 150 ]; do : > "$d/added-file-with-a-long-name-$i.txt"; i=$((i + 1)); done
  run verify_deep_mismatch 8 "$docseal" verify --json deep &&
    json_has 'len(d["added"])==150 and d["missing"]==[] and "also holds" in d["reason"]'

  # 9: with only X.sig and no X, the signed path is unknown: asked for, no walk.
  echo gone > gone.txt
  run_pin sign_gone 0 "$pin" "$docseal" sign --pin-stdin gone.txt
  rm gone.txt
  run verify_signature_of_missing_path 2 "$docseal" verify --signature gone.txt.sig &&
    says "the path that 'gone.txt.sig' signs is unknown: give PATH"
  run verify_missing_signature_file 3 "$docseal" verify notes.txt --signature nowhere.sig &&
    says "no signature file 'nowhere.sig'"
  # A signature file larger than any is refused from its size, with the limit.
  truncate -s 2147483648 huge.sig
  run verify_signature_too_large 10 "$docseal" verify --signature huge.sig notes.txt &&
    says "more than the 2147483647"
  rm -f huge.sig

  # 3: the signer text is a claim; the certificate chain decides. The same
  # record re-signed by a self-made "Mallory" certificate, and one trusted
  # but whose key usage does not allow signing.
  echo deal > claimed.txt
  run_pin sign_claimed 0 "$pin" "$docseal" sign --pin-stdin --signer "Alice Demo" claimed.txt
  openssl cms -verify -noverify -inform DER -in claimed.txt.sig -out claimed.content 2>/dev/null
  for kind in mallory nosign; do
    usage=digitalSignature
    [ $kind = nosign ] && usage=keyEncipherment
    openssl req -x509 -newkey rsa:2048 -nodes -keyout $kind.key -out $kind.pem -days 30 \
      -subj "/CN=Mallory" -addext "keyUsage=critical,$usage" 2>/dev/null
    openssl cms -sign -nodetach -binary -nosmimecap -md sha256 -in claimed.content \
      -signer $kind.pem -inkey $kind.key -outform DER -out claimed.$kind.sig
  done
  # name  status  signature  option ("-": none)  text in the output
  while read -r row want sig opt text; do
    set -- --signature "$sig"
    [ "$opt" = - ] || set -- "$@" "$opt"
    run "trust_$row" "$want" "$docseal" verify "$@" claimed.txt && says "$text"
  done <<ROWS
card_signer_trusted      0  claimed.txt.sig       --ca=$ca          ^valid: signed by 'Alice Demo'
card_signer_no_ca        50 claimed.txt.sig       -                 unable to get local issuer
mallory_untrusted        50 claimed.mallory.sig   --ca=$ca          NOT TRUSTED
mallory_subject_shown    50 claimed.mallory.sig   --ca=$ca          certificate:  CN = Mallory
mallory_trusted_by_ca    0  claimed.mallory.sig   --ca=mallory.pem  ^valid: signed by 'Alice Demo'
nosign_key_usage         50 claimed.nosign.sig    --ca=nosign.pem   key usage does not allow signing
mallory_integrity_only   0  claimed.mallory.sig   --no-trust-check  signer was not checked
ROWS
  run trust_json 50 "$docseal" verify --json --ca "$ca" --signature claimed.mallory.sig claimed.txt &&
    json_has 'd["intact"] and not d["valid"] and d["trust"]=="untrusted" and d["status"]==50'
  run trust_no_check_with_ca 2 "$docseal" verify --no-trust-check --ca "$ca" claimed.txt
  run trust_bad_ca_file 2 "$docseal" verify --ca junk.sig claimed.txt && says "'junk.sig' holds no"
  run trust_local_untrusted 50 "$docseal" verify-local again/dir.sig
fi

if have "$docseal" timestamp && have "$docseal" info; then
  # 4: a time-stamp file is DER like every signature file and reads back.
  run_pin timestamp_to_file 0 "$pin" "$docseal" timestamp --pin-stdin --output ts.sig
  openssl cms -verify -noverify -inform DER -in ts.sig -out /dev/null 2>/dev/null ||
    fail "ts.sig is not DER"
  run timestamp_info 0 "$docseal" info ts.sig && says "時戳簽章" &&
    says "signing time: 20" && says "CN = Alice Demo"
  run timestamp_verify 0 "$docseal" verify --ca "$ca" --signature ts.sig &&
    says "^valid: a time-stamp signature"
  run timestamp_verify_untrusted 50 "$docseal" verify --signature ts.sig
  cp ts.sig ts-bad.sig
  size=$(wc -c < ts.sig)
  # A byte of the signature value changed (it may already be 1: then 2).
  byte=$(od -An -tu1 -j $((size - 20)) -N1 ts.sig | tr -d ' ')
  [ "$byte" = 1 ] && new='\002' || new='\001'
  printf "$new" | dd of=ts-bad.sig bs=1 seek=$((size - 20)) conv=notrunc 2>/dev/null
  run timestamp_tampered 6 "$docseal" verify --ca "$ca" --signature ts-bad.sig
fi

# 7: every write to standard output is checked, to its close (shared code:
# doclock as well).
for row in "info report.txt.sig" "card --json" "card" "--help"; do
  name="full_stdout_$(echo "$row" | tr ' -' '__')"
  # shellcheck disable=SC2086
  setsid -w "$docseal" $row < /dev/null > /dev/full 2> "$err"
  got=$?
  : > "$out"
  [ $got = 2 ] && grep -q "cannot write to standard output" "$err" && echo "ok   $name" ||
    fail "exit status $got, expected 2 and a message"
done
if [ -x "$doclock" ]; then
  name=full_stdout_doclock
  "$doclock" --help > /dev/full 2> "$err"
  got=$?
  [ $got = 2 ] && echo "ok   $name" || fail "exit status $got, expected 2"
fi

if have "$docseal" card; then
  # 8: options are honoured or refused, never ignored.
  run card_output_without_pem 2 "$docseal" card --output x.pem && says "with --pem only\|--output"
  [ ! -e x.pem ] || fail "x.pem was written"
  run card_json_and_pem 2 "$docseal" card --json --pem
  run card_pem_to_file 0 "$docseal" card --pem --output x.pem && openssl x509 -in x.pem -noout ||
    fail "no PEM in x.pem"
  run option_given_twice 2 "$docseal" verify --signature a.sig --signature b.sig x &&
    says "given more than once"
fi

if have "$docseal" verify; then
  # Mismatch detail: a rename shows both sides; a name that is not UTF-8
  # keeps its bytes in an escape.
  mkdir -p moved && echo m > moved/old.txt && echo k > moved/keep.txt
  echo "$pin" | "$docseal" sign --pin-stdin moved > /dev/null 2>&1
  mv moved/old.txt moved/new.txt
  : > "moved/$(printf 'bad\377')"
  run mismatch_both_sides 8 "$docseal" verify moved && says "^added:   new.txt" &&
    says "^missing: old.txt"
  run mismatch_both_sides_json 8 "$docseal" verify --json moved &&
    json_has 'sorted(d["added"])==["bad\\xff","new.txt"] and d["missing"]==["old.txt"]'
fi

# ---- doclock ---------------------------------------------------------------------------
if [ -x "$doclock" ]; then
  run doclock_help 0 "$doclock" --help && says "Commands:"
  run doclock_version 0 "$doclock" --version
fi
if have "$doclock" encrypt && have "$doclock" decrypt; then
  head -c 100000 /dev/urandom > data.bin
  echo "$pin" > pinfile
  run_pin encrypt 0 "$pin" "$doclock" encrypt --pin-stdin --cert "$card/enc.crt.pem" \
    --output data.p7 data.bin
  no_temp_left .
  run_pin decrypt 0 "$pin" "$doclock" decrypt --pin-stdin --output data.out data.p7
  cmp -s data.bin data.out || fail "the unwrapped data differs"
  run_pin decrypt_to_stdout 0 "$pin" "$doclock" decrypt --pin-stdin data.p7
  cmp -s data.bin "$out" || fail "the unwrapped data differs"
  run encrypt_no_cert 2 "$doclock" encrypt data.bin
  # Library codes exit below 126 (the shell's own statuses start there), by
  # the table of --help; the message names the library's code.
  run_pin decrypt_wrong_pin 31 000000 "$doclock" decrypt --pin-stdin --output w.out data.p7 &&
    says "-121 EXCHPACK_ERR_PIN"
  [ ! -e w.out ] || fail "an output appeared after a wrong PIN"
  run_pin decrypt_no_module 23 "$pin" env LD_LIBRARY_PATH=/nonexistent "$doclock" decrypt \
    --pin-stdin --output w.out data.p7 && says "-23 DOCLOCK_ERR_CARD_START" &&
    says "module aetpkss1.dll cannot be loaded: .*(see \"Using a real card\" in the README)"
  run_pin decrypt_not_a_structure 40 "$pin" "$doclock" decrypt --pin-stdin --output w.out \
    report.txt && says "-130 EXCHPACK_ERR_NOT_STRUCTURE"
  run_pin encrypt_bad_recipient 20 "$pin" "$doclock" encrypt --pin-stdin --cert report.txt \
    --output w.out data.bin && says "-110 EXCHPACK_ERR_RECIPIENT_CERT"
  run_pin decrypt_wrong_pin_json 31 000000 "$doclock" decrypt --pin-stdin --json --output w.out \
    data.p7 &&
    python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert (d["code"],d["result"],d["exit"])==(-121,"EXCHPACK_ERR_PIN",31), d' "$out" ||
    fail "bad JSON"
  run_pin decrypt_json 0 "$pin" "$doclock" decrypt --pin-stdin --json --output j.out data.p7 &&
    python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert (d["code"],d["exit"],d["output"],d["bytes"])==(0,0,"j.out",100000), d' "$out" ||
    fail "bad JSON"
  # An output name that is not UTF-8 is carried into JSON with its bytes escaped.
  run_pin encrypt_json_name_not_utf8 0 "$pin" "$doclock" encrypt --pin-stdin --json \
    --cert "$card/enc.crt.pem" --output "$(printf 'bad\377.p7')" data.bin &&
    python3 -c 'import json,sys; d=json.load(open(sys.argv[1])); assert (d["code"],d["output"])==(0,"bad\\xff.p7"), d' "$out" ||
    fail "bad JSON"
  run decrypt_json_to_stdout 2 "$doclock" decrypt --pin-file pinfile --json data.p7
  name=exit_table_below_126
  "$doclock" --help | awk '/^Exit status/ {t=1; next} t && $1 ~ /^[0-9]+$/ {n++; if ($1 >= 126) bad=1}
    END {exit !(n >= 19 && !bad)}' && echo "ok   $name" || fail "an exit status of 126 or more in --help"

  # Standard input holds the PIN or the data, never both; the combination
  # is refused before the card is used. The PIN from another descriptor works.
  for row in "encrypt --pin-stdin --cert $card/enc.crt.pem" "encrypt --pin-fd 0 --cert $card/enc.crt.pem -" \
    "decrypt --pin-stdin" "decrypt --pin-stdin -" "encrypt --pin-fd 00 --cert $card/enc.crt.pem" \
    "encrypt --pin-file /dev/stdin --cert $card/enc.crt.pem" "decrypt --pin-stdin /dev/stdin"; do
    name="pin_and_data_on_stdin: $row"
    # shellcheck disable=SC2086
    (echo "$pin"; cat data.bin) | "$doclock" $row --output shared.out > "$out" 2> "$err"
    [ $? = 2 ] && [ ! -e shared.out ] && grep -q "cannot both come from standard input" "$err" &&
      echo "ok   $name" || fail "not refused"
  done
  : > empty.pin
  run doclock_empty_pin 2 "$doclock" decrypt --pin-file empty.pin --output e.out data.p7 &&
    says "the PIN is empty"
  name=data_on_stdin_pin_from_fd
  "$doclock" encrypt --pin-fd 3 --cert "$card/enc.crt.pem" --output fd.p7 < data.bin 3< pinfile \
    > "$out" 2> "$err" && "$doclock" decrypt --pin-fd 3 --output fd.out < fd.p7 3< pinfile \
    > "$out" 2> "$err" && cmp -s data.bin fd.out && echo "ok   $name" || fail "no round trip"
  # The output is checked before the PIN is asked for: without a terminal
  # and a PIN option, the output's fault is what is reported.
  mkdir -p locked && chmod 555 locked
  # A pipe or a device node is left as it is (it is not replaced by a file).
  mkfifo out.fifo
  mknod out.null c 1 3 2>/dev/null || : > out.null  # a device where this may make one
  for row in "nodir/x.out:no directory 'nodir'" ".:is a directory" "locked/x.out:cannot write into" \
    "out.fifo:no regular file" "out.null:no regular file"; do
    [ "$(id -u)" = 0 ] && [ "${row%%/*}" = locked ] && continue  # root writes anywhere
    [ -f out.null ] && [ "${row%%:*}" = out.null ] && continue
    run "output_checked_first: ${row%%:*}" 2 "$doclock" decrypt --output "${row%%:*}" data.p7 &&
      says "${row#*:}"
  done
  [ -p out.fifo ] && { [ -f out.null ] || [ -c out.null ]; } || fail "a pipe or device was replaced"
  # A link is followed: the file it names gets the output, the link stays.
  echo old > linked.out
  ln -s linked.out via.link
  run decrypt_through_link 0 "$doclock" decrypt --pin-file pinfile --output via.link data.p7 &&
    [ -L via.link ] && cmp -s data.bin linked.out || fail "the link was not followed"
  # On a terminal: binary data is not written to it, which is said before a
  # PIN prompt; a PIN typed for --pin-stdin does not show.
  name=terminal_output_refused_before_pin
  python3 "$here/on_terminal.py" "" "$doclock" decrypt data.p7 > "$out" 2> "$err"
  [ $? = 2 ] && grep -q "not writing binary data to a terminal" "$out" && ! grep -q "PIN:" "$out" &&
    echo "ok   $name" || fail "not refused before the PIN"
  name=pin_stdin_on_terminal_not_echoed
  python3 "$here/on_terminal.py" "$pin" "$doclock" decrypt --pin-stdin --output tty.out data.p7 \
    > "$out" 2> "$err"
  [ $? = 0 ] && cmp -s data.bin tty.out && grep -q "PIN:" "$out" && ! grep -q "$pin" "$out" &&
    echo "ok   $name" || fail "the PIN showed, or the unwrap failed"
  run_pin encrypt_missing_input 2 "$pin" "$doclock" encrypt --pin-stdin --cert "$card/enc.crt.pem" \
    --output x.p7 missing.bin
  [ ! -e x.p7 ] || fail "an output appeared for a missing input"
  cp data.p7 bad.p7
  printf 'X' | dd of=bad.p7 bs=1 seek=200 conv=notrunc 2>/dev/null
  name=decrypt_corrupted
  echo "$pin" | "$doclock" decrypt --pin-stdin --output bad.out bad.p7 > "$out" 2> "$err"
  st=$?
  [ $st -ne 0 ] && [ $st -lt 126 ] && [ ! -e bad.out ] && echo "ok   $name" ||
    fail "a corrupted structure unwrapped, or exit status $st"
fi
# An input over the size a call can take is refused from its size, before
# it is read (a sparse file: reading it would take long).
if have "$doclock" cert && have "$doclock" encrypt; then
  truncate -s 2200M big.in
  while IFS='|' read -r cmd limit; do
    # shellcheck disable=SC2086
    run "input_size_checked_first: $cmd" 2 timeout 20 "$doclock" $cmd big.in &&
      says "more than the $limit bytes it may hold"
  done <<ROWS
cert|2147483647
decrypt --pin-file pinfile --output big.out|2147483647
encrypt --pin-file pinfile --cert $card/enc.crt.pem --output big.out|2147[0-9]*
ROWS
  rm -f big.in
fi
if have "$doclock" cert && [ -s data.p7 ]; then
  run doclock_cert 0 "$doclock" cert data.p7
  [ "$(tr -d '\n' < "$out")" = "$(base64 -w0 "$card/sign.crt.der")" ] || fail "wrong certificate"
  run doclock_cert_pem 0 "$doclock" cert --pem data.p7 && openssl x509 -in "$out" -noout ||
    fail "no PEM"
fi

[ $failures -eq 0 ] && echo "all passed" || echo "$failures failed"
exit $((failures != 0))
