#!/usr/bin/env bash
# Runs two builds of larkpost on the same inputs and compares everything they produce: every file
# they write (cmp), and every command's standard output, standard error and exit status (diff).
# It proves that a change of structure changes no byte a user sees.
#
#   scripts/compare-outputs.sh OLD_LARKPOST NEW_LARKPOST
#
# Inputs: samples/demo-store.ndjson, and when present ../shared/samples/phone/* and the iPhone/Mac
# database in ../shared/samples/ios. Prints one line per comparison ("same" or "DIFFERS", with the
# first lines of a difference) and a summary; exit status 1 when anything differs.
# Run it with the same program twice to check the script itself: everything must say "same".
# Set LARKPOST_COMPARE_KEEP=1 to keep the outputs of both runs (old/ and new/ in its folder).
set -uo pipefail
if [[ $# != 2 || ! -x $1 || ! -x $2 ]]; then
  echo "usage: compare-outputs.sh OLD_LARKPOST NEW_LARKPOST" >&2; exit 2
fi
old=$(realpath "$1") new=$(realpath "$2")
src=$(cd "$(dirname "$0")/.." && pwd)
demo=$src/samples/demo-store.ndjson
phone=$src/../shared/samples/phone
ios=$src/../shared/samples/ios/macos-ts-chat.db
tmp=$(mktemp -d "${TMPDIR:-/tmp}/larkpost-compare.XXXXXX")
if [[ ${LARKPOST_COMPARE_KEEP:-0} == 1 ]]; then trap 'echo "Outputs kept in $tmp" >&2' EXIT
else trap 'rm -rf "$tmp"' EXIT; fi

# Inputs shared by both runs. The age identity is made once (keygen is random by design): the
# encrypted outputs are random too, so they are compared through what they decrypt to.
mkdir -p "$tmp/in" "$tmp/bin"
"$old" keygen -o "$tmp/in/key.txt" > "$tmp/in/key.pub"
recipient=$(sed -n 's/^Public key: //p' "$tmp/in/key.pub")
echo "a passphrase for the comparison" > "$tmp/in/pass.txt"
printf 'BEGIN:VCARD\r\nVERSION:3.0\r\nFN:Anna Named\r\nTEL:+436812314123\r\nEND:VCARD\r\n' \
  > "$tmp/in/contacts.vcf"
phone_files=()
[[ -d $phone ]] && phone_files=("$phone"/*.xml "$phone"/*.zip)
ios_db=()
[[ -f $ios ]] && ios_db=("$ios")

# x NAME ARGS...: runs larkpost with ARGS in a fixed environment (time zone, locale, no terminal),
# keeping its standard output, standard error and exit status under log/NAME.
x() {
  local name=$1; shift
  env -i PATH="$tmp/bin:/usr/bin:/bin" HOME="$work/home" TMPDIR="$work/tmp" TZ=Europe/Berlin \
    LC_ALL=C.UTF-8 larkpost "$@" > "$work/log/$name.stdout" 2> "$work/log/$name.stderr" < /dev/null
  echo $? > "$work/log/$name.status"
}
drain() {  # what the pipe open as descriptor 3 holds now
  python3 -c 'import os, sys
os.set_blocking(3, False)
try:
    while data := os.read(3, 65536): sys.stdout.buffer.write(data)
except BlockingIOError: pass'
}
cut_half() { head -c $(( $(stat -c %s "$1") / 2 )) "$1" > "$2"; }
flip_byte() {  # flip_byte IN OUT OFFSET: a copy of IN with every bit of one byte flipped
  python3 -c 'import sys; b = bytearray(open(sys.argv[1], "rb").read()); b[int(sys.argv[3])] ^= 0xFF
open(sys.argv[2], "wb").write(b)' "$@"
}

# The reading commands for one input file; TAG names its outputs.
read_file() {
  local tag=$1 in=$2 ext=${2##*.} out
  x "$tag.verify" verify "$in"
  x "$tag.verify-json" verify --json "$in"
  x "$tag.show" show "$in"
  x "$tag.show-json" show --json "$in"
  x "$tag.show-selection" show --folders sent,outbox --until 2024-04-30 "$in"
  for out in bak xml zip html; do x "$tag.convert-$out" convert "$in" "out/c-$tag.$out"; done
  x "$tag.convert-json-selection" convert --json --folders inbox,sent --since 2017-12-02 \
    "$in" "out/c-$tag.selection.bak"
  x "$tag.convert-deleted-sent" convert --deleted-as sent "$in" "out/c-$tag.deleted-sent.xml"
  x "$tag.convert-65001" --codepage 65001 convert "$in" "out/c-$tag.65001.bak"
  x "$tag.store-init" --store "db/$tag.db" store init
  x "$tag.restore-dry-selection" --store "db/$tag.db" restore --dry-run --json \
    --contact ann --contact contact --folders inbox "$in"
  x "$tag.restore-dry" --store "db/$tag.db" restore --dry-run "$in"
  x "$tag.restore" --store "db/$tag.db" restore --yes "$in"
  x "$tag.restore-again-json" --store "db/$tag.db" restore --yes --json "$in"
  x "$tag.restored-dump" --store "db/$tag.db" store dump
  [[ $ext == db ]] && return
  cut_half "$in" "in/$tag.cut.$ext"
  x "$tag.salvage-cut" salvage "in/$tag.cut.$ext" "out/$tag.salvaged.$ext"
  x "$tag.salvage-cut-bak" salvage "in/$tag.cut.$ext" "out/$tag.salvaged-to.bak"
}

# produce BINARY: every output of BINARY, in $tmp/work. Each run uses the same folder, so the
# paths that messages name are the same in both.
produce() {
  work=$tmp/work
  mkdir -p "$work"/{log,out,db,in,home,tmp,default}
  cp "$1" "$tmp/bin/larkpost"  # one name, as messages may name the program
  cd "$work" || exit 1
  local s=--store=db/store.db f

  # The demo store: its listings and a backup into every format, whole and selected.
  x store-init "$s" store init
  x store-load "$s" store load "$demo"
  x store-list "$s" store list
  x store-dump "$s" store dump
  x store-dump-file "$s" store dump out/demo.ndjson
  for f in bak txt xml zip html; do
    x "backup-$f" "$s" backup "out/demo.$f"
    x "backup-65001-$f" "$s" --codepage 65001 backup "out/demo-65001.$f"
    x "backup-folders-$f" "$s" backup --folders inbox,sent "out/demo-folders.$f"
    x "backup-dates-$f" "$s" backup --since 2024-04-01 --until 2024-04-30 "out/demo-dates.$f"
  done
  # PATH first: a --contact takes every word after it as one more contact.
  x backup-drafts-contact "$s" backup out/demo-contact.bak --since 2024-04-10 --drafts \
    --contact bob --contact '+49 151'
  x backup-sync-each "$s" backup --sync each out/demo-each.bak
  x backup-force "$s" backup --force --folders deleted out/demo-each.bak
  x backup-exists "$s" backup out/demo.bak
  # A pipe is written directly, without a partial file. The script holds it open for reading and
  # drains it afterwards (the demo's outputs fit in a pipe's 64 KiB buffer).
  for f in bak txt xml zip html; do
    mkfifo "in/pipe.$f"; exec 3<> "in/pipe.$f"
    x "backup-pipe-$f" "$s" backup "in/pipe.$f"
    drain > "out/piped.$f"; exec 3>&-
  done
  (cd default && x backup-default-name --store ../db/store.db backup)
  find default -type f -printf '%f\n' | sed 's/[0-9]/N/g' > log/backup-default-name.files  # today
  mv default/BAK_*.bak out/demo-default.bak 2> /dev/null

  # A store that holds each message twice, once more in a subfolder "Copy" (a place where no load
  # or restore finds it present), and its duplicates removed.
  sed -E 's/^\{"folder": \[([^]]*)\]/{"folder": [\1, "Copy"]/' "$demo" > in/copies.ndjson
  x dup-load --store db/dup.db store load "$demo"
  x dup-load-copies --store db/dup.db store load in/copies.ndjson
  x dedupe-dry --store db/dup.db store dedupe --dry-run --json
  x dedupe --store db/dup.db store dedupe --yes
  x dedupe-dump --store db/dup.db store dump

  # Every input file through every reading command.
  read_file demo out/demo.bak
  read_file demo-65001 out/demo-65001.bak
  x demo-65001.verify-auto --codepage auto verify out/demo-65001.bak
  x demo-65001.show-1252 show out/demo-65001.bak
  x demo-65001.convert-auto --codepage auto convert out/demo-65001.bak out/demo-auto.bak
  for f in "${phone_files[@]}"; do read_file "$(basename "$f")" "$f"; done
  for f in "${ios_db[@]}"; do read_file ios "$f"; done
  if [[ -f $phone/sms_small.xml ]]; then
    x show-contacts --contacts "$tmp/in/contacts.vcf" show "$phone/real-2011.xml"
    x merge-bak-xml merge out/merge.bak out/demo.bak "$phone/sms_small.xml"
    x merge-phone-json --region DE merge --json out/merge-phone.zip \
      "$phone/sms_and_mms.closed-by-tester.xml" "$phone/assembled-sms-ie-messages.zip" \
      "$phone/sbv_sample_backup.xml"
    x merge-html merge --since 2011-01-01 out/merge.html out/demo-65001.bak "$phone/real-2011.xml"
    local whole=()  # every input but the file cut off, which merge refuses whole
    for f in "${phone_files[@]}"; do [[ $f == */sms_and_mms.xml ]] || whole+=("$f"); done
    x merge-all-xml --region US merge out/merge-all.xml out/demo.bak "${ios_db[@]}" "${whole[@]}"
    x merge-cut-input merge out/merge-cut.bak out/demo.bak "$phone/sms_and_mms.xml"
  fi
  cp out/demo.bak out/merge-self.bak
  x merge-self merge --force out/merge-self.bak out/merge-self.bak out/demo-65001.bak

  # Encrypted outputs differ on every run; what they decrypt to must not.
  x enc-backup "$s" backup --encrypt-to "$recipient" out/enc.bak.age
  x enc-show show --identity "$tmp/in/key.txt" out/enc.bak.age
  x enc-decrypt convert --identity "$tmp/in/key.txt" out/enc.bak.age out/enc-plain.bak
  x enc-convert convert --passphrase-file "$tmp/in/pass.txt" --armor out/demo.bak out/enc.zip.age
  x enc-decrypt-zip convert --passphrase-file "$tmp/in/pass.txt" out/enc.zip.age out/enc-plain.zip
  x enc-wrong-key verify --identity "$tmp/in/key.txt" out/enc.zip.age

  # Error paths: a missing file, a damaged backup file, unknown endings, refusals, bad arguments.
  x missing-verify verify in/missing.bak
  x missing-restore "$s" restore --yes in/missing.bak
  x missing-convert convert in/missing.xml out/missing.bak
  # The digest covers the file's length only: a byte changed inside a time is read as it is, one
  # in the digest or in a record's line structure (the 10th record's message class line end) is
  # refused, and salvage goes on at the next record.
  flip_byte out/demo.bak in/damaged-time.bak $(( $(stat -c %s out/demo.bak) / 2 ))
  flip_byte out/demo.bak in/damaged-digest.bak 3
  flip_byte out/demo.bak in/damaged-record.bak \
    $(( $(grep -abo IPM.SMStext out/demo.bak | sed -n 10p | cut -d: -f1) + 11 ))
  x store-init-damaged --store db/damaged.db store init
  for f in time digest record; do
    x "damaged-$f-verify" verify "in/damaged-$f.bak"
    x "damaged-$f-show" show "in/damaged-$f.bak"
    x "damaged-$f-restore" --store db/damaged.db restore --yes "in/damaged-$f.bak"
    x "damaged-$f-convert" convert "in/damaged-$f.bak" "out/damaged-$f.xml"
    x "damaged-$f-salvage" salvage "in/damaged-$f.bak" "out/damaged-$f-salvaged.bak"
  done
  x damaged-restored-dump --store db/damaged.db store dump
  x unknown-backup "$s" backup out/q.pdf
  x unknown-backup-upper "$s" backup out/q.TXT
  x unknown-convert convert out/demo.bak out/q.pdf
  x unknown-input verify "$demo"
  x convert-exists convert out/demo.bak out/demo.xml
  x restore-unconfirmed "$s" restore out/demo.bak
  x bad-date "$s" backup --since 2024-13-01 out/bad.bak
  x bad-folder "$s" backup --folders inbox,nope out/bad.bak
  x bad-codepage "$s" --codepage 77 backup out/bad.bak
  x misspelt backpu
  cd "$tmp" || exit 1
}

# ZIP entries carry the time of their writing (DOS date and time, to 2 s): a copy with those
# fields zeroed in every local and central header is compared, every other byte as written.
zip_masked() {
  python3 - "$1" <<'EOF'
import struct, sys
b = bytearray(open(sys.argv[1], "rb").read())
end = b.rfind(b"PK\x05\x06")
if end >= 0:
    count, size, at = struct.unpack_from("<HII", b, end + 10)
    for _ in range(count):
        if b[at:at + 4] != b"PK\x01\x02": break
        local = struct.unpack_from("<I", b, at + 42)[0]
        b[at + 12:at + 16] = bytes(4)
        if local != 0xFFFFFFFF and b[local:local + 4] == b"PK\x03\x04":
            b[local + 10:local + 14] = bytes(4)
        names = struct.unpack_from("<HHH", b, at + 28)
        at += 46 + sum(names)
sys.stdout.buffer.write(b)
EOF
}
# The page says when it was written ("written 2026-12-09 18:30").
html_masked() { sed -E 's/ written [0-9-]{10} [0-9:]{5} / written (time) /' "$1"; }

produce "$old"; mv "$tmp/work" "$tmp/old"
produce "$new"; mv "$tmp/work" "$tmp/new"

compared=0 differ=0
report() {  # report NAME STATUS [DETAILS]
  compared=$((compared + 1))
  if [[ $2 == 0 ]]; then echo "same     $1"; return; fi
  differ=$((differ + 1))
  echo "DIFFERS  $1"
  [[ -n ${3:-} ]] && head -n 12 <<< "$3" | sed 's/^/    /'
}
cd "$tmp" || exit 1
# Which files there are, with their modes (written files are private: 0600), including any left
# behind in HOME or TMPDIR.
listing() { (cd "$1" && find . -printf '%y %m %p\n' | sort); }
d=$(diff <(listing old) <(listing new)); report "the files written and their modes" $? "$d"
while read -r path; do
  a=old/$path b=new/$path
  [[ -f $a && -f $b ]] || continue  # a file only one run made is named by the listing above
  case $path in
    log/*.stdout | log/*.stderr | log/*.status | log/*.files) d=$(diff "$a" "$b") ;;
    *.zip) d=$(cmp <(zip_masked "$a") <(zip_masked "$b") 2>&1) ;;
    *.html) d=$(cmp <(html_masked "$a") <(html_masked "$b") 2>&1) ;;
    *.age) continue ;;                  # random by design; compared decrypted (enc-plain.*)
    db/*) continue ;;                   # the stores are compared through their dumps
    *) d=$(cmp "$a" "$b" 2>&1) ;;
  esac
  report "$path" $? "$d"
done < <(cd old && find . -type f -printf '%P\n' | sort)

echo "$compared comparisons: $((compared - differ)) same, $differ differ."
[[ $differ == 0 ]]
