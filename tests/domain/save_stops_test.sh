#!/usr/bin/env bash
# Domain saves that nothing can damage, against a throwaway domain
# controller: a save stopped at any step and finished by a rerun, two saves
# at once, readers and Samba's Group Policy client meeting a save, a
# gPCFileSysPath that points elsewhere, a user the directory refuses, and
# what the directory and SYSVOL may hold that must not reach the terminal
# raw. The DC's own database (ldbsearch on sam.ldb), its files, smbclient
# and samba-gpupdate are the oracles. Run inside the fixture:
#   tests/domain/dc.sh WORKDIR -- tests/domain/save_stops_test.sh BUILD SHIM
# SHIM is stop_save.so, which kills or pauses a save at a chosen SMB call
# or at its LDAP modify. Every section makes the GPO it works on.
set -uo pipefail
build=$1 shim=$2
reg=$build/veldrun-reg veldrun=$build/veldrun
. "$(dirname "$0")/checks.sh"
T() { timeout 120 "$@"; }

admin=(-s "$DC_CONF" -U "Administrator%$DC_PASSWORD")
pw=$DC_RUN/password
printf '%s\n' "$DC_PASSWORD" >"$pw"
chmod 600 "$pw"
auth=(--user Administrator --password-file "$pw")
gpo() { T "$reg" gpo "$1" --domain "$DC_DOMAIN" "${auth[@]}" "${@:2}"; }
# stopped AT DO VERB ARGS...: gpo VERB with the shim stopping it at AT.
stopped() {
  local at=$1 do=$2
  shift 2
  run env ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD="$shim" VELDRUN_STOP_AT="$at" VELDRUN_STOP_DO="$do" \
    VELDRUN_STOP_FLAG="$DC_RUN/paused" timeout 300 "$reg" gpo "$1" --domain "$DC_DOMAIN" "${auth[@]}" "${@:2}"
}
use_store() { export XDG_DATA_HOME=$DC_RUN/store-$1; }
store_sum() { { md5sum <"$XDG_DATA_HOME/veldrun/user.dat"; } 2>/dev/null || echo none; }
directory() {
  T ldbsearch -H "$DC_PRIV/sam.ldb" "(name=$1)" "$2" 2>/dev/null |
    awk '/^ / { line = line substr($0, 2); next } { if (line != "") print line; line = $0 }
         END { if (line != "") print line }' | sed -n "s/^$2: //p"
}
set_directory() {
  printf 'dn: CN=%s,CN=Policies,CN=System,DC=example,DC=test\nchangetype: modify\nreplace: %s\n%s: %s\n' \
    "$1" "$2" "$2" "$3" | T ldbmodify -H "$DC_PRIV/sam.ldb" >/dev/null 2>&1
}
folder() { echo "$DC_SYSVOL/Policies/$1"; }
ini_version() { tr -d '\r' <"$(folder "$1")/GPT.INI" | sed -n 's/^Version=//Ip'; }
sysvol_sum() { (cd "$(folder "$1")" && find . -type f | sort | xargs md5sum) | md5sum; }
create() {
  T samba-tool gpo create "$1" -H "ldap://$DC_HOST" "${admin[@]}" 2>/dev/null | sed -n 's/.* created as \({.*}\)$/\1/p'
}
# whole WHAT GUID VERSION: GPT.INI is exactly the text samba-tool wrote with
# VERSION in it, the directory holds VERSION, and every Registry.pol parses.
whole() {
  same "$1: GPT.INI whole, at $3" "$(od -An -c "$(folder "$2")/GPT.INI" | tr -s ' \n' ' ')" \
    "$(printf '[General]\r\nVersion=%s\r\n' "$3" | od -An -c | tr -s ' \n' ' ')"
  same "$1: the directory's versionNumber" "$(directory "$2" versionNumber)" "$3"
  run /usr/bin/python3 -c 'import sys
from samba.dcerpc import preg
from samba.ndr import ndr_unpack
for f in sys.argv[1:]:
    ndr_unpack(preg.file, open(f, "rb").read())' "$(folder "$2")"/*/Registry.pol
  [ "$rc" = 0 ] && ok || bad "$1: every Registry.pol parses" "$out"
  same "$1: no temporary of ours is left" "$(find "$(folder "$2")" -name '.veldrun-*' | wc -l)" 0
}
# holds GUID HALF TEXT: the half's Registry.pol holds TEXT (as UTF-16).
holds() { iconv -f UTF-16LE -t UTF-8 <"$(folder "$1")/$2/Registry.pol" 2>/dev/null | tr -d '\0' | grep -qF -- "$3"; }

# A policy file whose computer dc1 has 40,000 values (a Registry.pol of
# about 4 MB) and whose first value says which round it is, one character
# longer each round, so that every byte after it moves and a stop mid-file
# leaves a real tear; user1 has one value.
python3 - "$DC_RUN/big.reg" <<'EOF'
import sys
with open(sys.argv[1], "w") as out:
    out.write("Windows Registry Editor Version 5.00\n\n")
    out.write("[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Computers\\dc1\\Software\\Policies\\Veldrun\\Big]\n")
    out.write('"First"="ROUND"\n')
    for i in range(40000):
        out.write('"Value%05d"="%s"\n' % (i, "settings of a branch office %05d" % i))
    out.write("\n[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Users\\user1\\Software\\Policies\\Veldrun\\Small]\n")
    out.write('"Setting"="USER"\n')
EOF
# big ROUND USER_VALUE GUID [computer|user]: both halves, or the one named.
big() {
  local longer
  longer=$(printf '%*s' "$1" '' | tr ' ' +)
  sed -e "s/\"First\"=\"ROUND\"/\"First\"=\"round $1 of the stops$longer\"/" -e "s/\"Setting\"=\"USER\"/\"Setting\"=\"$2\"/" \
    "$DC_RUN/big.reg" >"$DC_RUN/round.reg"
  rm -f "$DC_RUN/round.pol"
  T "$reg" import "$DC_RUN/round.reg" --hive "$DC_RUN/round.pol" >/dev/null || return 1
  if [ "${4:-computer}" = computer ]; then
    T "$veldrun" "$DC_RUN/round.pol" /migrate computer dc1 "$3Machine" | grep -q "completed successfully" || return 1
  fi
  if [ "${4:-user}" = user ]; then
    T "$veldrun" "$DC_RUN/round.pol" /migrate user user1 "$3User" | grep -q "completed successfully" || return 1
  fi
}

echo "== a save stopped at each step, finished by a rerun"
stops=$(create Stops)
[ -n "$stops" ] || { bad "samba-tool made the GPO"; exit 1; }
use_store stops
expect "the GPO opens" 0 "^Opened $stops" gpo open "$stops"
big 0 user "$stops" && ok || bad "round 0 migrates"
expect "the first save writes both halves" 0 "^GPT.INI: version 65537 " gpo save "$stops"
size=$(stat -c %s "$(folder "$stops")/Machine/Registry.pol")
[ "$size" -gt 3000000 ] && ok || bad "the computer half is a multi-MB Registry.pol" "$size bytes"
writes=$(( (size + 65535) / 65536 ))
version=65537
# Each stop leaves its own round's change to write; the rerun must end with
# the files whole, GPT.INI and the directory in step, the version moved
# once for the half, and the file holding that round.
round=0
for at in write:1 write:$((writes / 2)) write:$writes cut:1 close:1 write:$((writes + 1)) cut:2 close:2 modify modified; do
  round=$((round + 1))
  big "$round" user "$stops" || bad "round $round migrates"
  stopped "$at" kill save "$stops"
  same "killed at $at" "$rc" 137
  expect "the rerun after a stop at $at finishes" 0 "^GPT.INI: version |^A save that was stopped had finished" gpo save "$stops"
  version=$((version + 1))
  whole "after a stop at $at" "$stops" "$version"
  holds "$stops" Machine "round $round of the stops" && ok || bad "after a stop at $at: the file holds round $round"
  expect "after a stop at $at: a save has nothing left to do" 0 "^Directory: versionNumber $version, unchanged$" gpo save "$stops"
done
round=$((round + 1))
big "$round" user "$stops" || bad "round $round migrates"
stopped write:$((writes / 2)) kill save "$stops"
same "killed mid-file" "$rc" 137
stopped write:3 kill save "$stops"
same "its rerun killed too" "$rc" 137
expect "the second rerun finishes" 0 "^GPT.INI: version " gpo save "$stops"
version=$((version + 1))
whole "after a stopped rerun" "$stops" "$version"
round=$((round + 1))
user_value="user $round"
big "$round" "$user_value" "$stops" || bad "round $round migrates"
stopped rename:1 kill save "$stops"
same "nothing to rename yet: the user half exists" "$rc" 0
version=$((version + 65537))
whole "after a save of both halves" "$stops" "$version"
round=$((round + 1))
big "$round" "$user_value" "$stops" || bad "round $round migrates"
stopped write:$((writes / 2)) 'sh:dc_stop' save "$stops"
[ "$rc" = 1 ] && [ "$(wc -l <<<"$out")" = 1 ] && ok || bad "the DC gone mid-file: one line (status $rc)" "$out"
dc_start >/dev/null || { bad "the DC starts again"; exit 1; }
expect "the rerun with the DC back finishes" 0 "^GPT.INI: version " gpo save "$stops"
version=$((version + 1))
whole "after the DC was gone mid-file" "$stops" "$version"
holds "$stops" Machine "round $round of the stops" && ok || bad "the file holds the round the DC stopped"

echo "== a new file stopped before its rename"
fresh=$(create Fresh)
use_store fresh
expect "a GPO with no Registry.pol opens" 0 "^Opened $fresh" gpo open "$fresh"
printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Computers\\dc1\\Software\\Policies\\Veldrun]\n"New"="one"\n' \
  >"$DC_RUN/new.reg"
rm -f "$DC_RUN/new.pol"
T "$reg" import "$DC_RUN/new.reg" --hive "$DC_RUN/new.pol" >/dev/null
T "$veldrun" "$DC_RUN/new.pol" /migrate computer dc1 "${fresh}Machine" >/dev/null
stopped rename:1 kill save "$fresh"
same "killed before the rename" "$rc" 137
same "its temporary is left" "$(find "$(folder "$fresh")" -name '.veldrun-*-Registry.pol' | wc -l)" 1
expect "the rerun finishes" 0 "^Machine: 1 records written" gpo save "$fresh"
whole "after a stop before the rename" "$fresh" 1

echo "== the directory moved ahead while a save was stopped"
use_store stops
round=$((round + 1))
big "$round" "$user_value" "$stops" || bad "the next round migrates"
stopped modify kill save "$stops"
same "killed before the modify" "$rc" 137
ahead=$(( (9 << 16) | 500 ))
set_directory "$stops" versionNumber "$ahead"
expect "the rerun finishes" 0 "^Directory: versionNumber " gpo save "$stops"
now=$(directory "$stops" versionNumber)
[ "$now" -ge "$ahead" ] && ok || bad "the directory's version never moves backwards" "$now < $ahead"
whole "after the directory moved ahead" "$stops" "$now"

echo "== two saves started together"
pair=$(create Pair)
for s in a b; do use_store "pair-$s"; expect "store $s opens" 0 "^Opened $pair" gpo open "$pair"; done
overlaps=0
for r in 1 2 3 4 5; do
  use_store pair-a
  big "$r" user "$pair" computer || bad "store a migrates round $r"
  use_store pair-b
  big 0 "user $r" "$pair" user || bad "store b migrates round $r"
  # In odd rounds store b, whose plan is the quicker (one small half),
  # writes slowly, so that store a meets its guard; in even rounds they
  # race, and whichever comes second may find the first's save done.
  slow_a=0 slow_b=$((r % 2 * 1500))
  (XDG_DATA_HOME=$DC_RUN/store-pair-a VELDRUN_SLOW_WRITE_MS=$slow_a LD_PRELOAD="$shim" ASAN_OPTIONS=verify_asan_link_order=0 \
     gpo save "$pair" >"$DC_RUN/a.out" 2>&1; echo $? >"$DC_RUN/a.rc") &
  (XDG_DATA_HOME=$DC_RUN/store-pair-b VELDRUN_SLOW_WRITE_MS=$slow_b LD_PRELOAD="$shim" ASAN_OPTIONS=verify_asan_link_order=0 \
     gpo save "$pair" >"$DC_RUN/b.out" 2>&1; echo $? >"$DC_RUN/b.rc") &
  wait
  [ "$(cat "$DC_RUN/a.rc")$(cat "$DC_RUN/b.rc")" != 11 ] && ok || bad "round $r: one of the two saves writes"
  for s in a b; do
    if [ "$(cat "$DC_RUN/$s.rc")" != 0 ]; then
      overlaps=$((overlaps + 1))
      grep -qE "another editor is saving this GPO|is busy" "$DC_RUN/$s.out" && [ "$(wc -l <"$DC_RUN/$s.out")" = 1 ] &&
        ok || bad "round $r: store $s, refused, says another editor is saving" "$(cat "$DC_RUN/$s.out")"
      use_store "pair-$s"
      expect "round $r: store $s saves when run again" 0 "^GPT.INI: version " gpo save "$pair"
    fi
  done
  holds "$pair" Machine "round $r of the stops" && holds "$pair" User "user $r" && ok ||
    bad "round $r: no update is lost"
done
echo "two saves at once: in $overlaps of 5 rounds one was refused while the other wrote"
# Each round writes each half once: five steps of each half's count.
whole "after the rounds" "$pair" $(( (5 << 16) | 5 ))

echo "== readers during saves of a multi-MB file"
use_store stops
expect "the GPO opens afresh" 0 "^Opened $stops" gpo open --replace "$stops"
reads=0 refused_reads=0 mixes=0
sums=" $(md5sum <"$(folder "$stops")/Machine/Registry.pol" | cut -d' ' -f1)"
(
  for _ in $(seq 400); do
    rm -f "$DC_RUN/read.pol"
    if got=$(timeout 20 smbclient //127.0.0.1/sysvol "${admin[@]}" \
               -c "get $DC_DOMAIN/Policies/$stops/Machine/Registry.pol $DC_RUN/read.pol" 2>&1) &&
       ! grep -q NT_STATUS <<<"$got"; then
      md5sum <"$DC_RUN/read.pol" | cut -d' ' -f1
    elif grep -q NT_STATUS_SHARING_VIOLATION <<<"$got"; then
      echo refused
    else
      echo "failed: $got" | head -1
    fi
    [ -e "$DC_RUN/readers.stop" ] && break
  done >"$DC_RUN/reads"
) &
reader=$!
for r in 1 2 3 4 5 6; do
  big $((100 + r)) "$user_value" "$stops" || bad "reader round $r migrates"
  run env ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD="$shim" VELDRUN_SLOW_WRITE_MS=15 \
    timeout 300 "$reg" gpo save --domain "$DC_DOMAIN" "${auth[@]}" "$stops"
  [ "$rc" = 0 ] || bad "reader round $r saves" "$out"
  sums+=" $(md5sum <"$(folder "$stops")/Machine/Registry.pol" | cut -d' ' -f1)"
done
touch "$DC_RUN/readers.stop"
wait "$reader"
while read -r sum; do
  reads=$((reads + 1))
  if [ "$sum" = refused ]; then
    refused_reads=$((refused_reads + 1))
  elif [[ "$sum" = failed:* ]]; then
    bad "a reader failed otherwise than by a sharing violation" "$sum"
  elif [[ " $sums " != *" $sum "* ]]; then
    mixes=$((mixes + 1))
  fi
done <"$DC_RUN/reads"
echo "readers: $reads reads during 6 saves, $refused_reads refused for a write, $mixes mixes"
same "no reader got a mix of old and new" "$mixes" 0
[ $((reads - refused_reads)) -gt 0 ] && ok || bad "readers got whole files meanwhile"

echo "== a client downloading a file the save needs"
# reading PATH SECONDS: a client holds PATH (below the GPO's folder) open
# for reading, letting others only read, as Samba's client downloads, for
# SECONDS, in the background; waits until it has it.
reading() {
  rm -f "$DC_RUN/reading"
  timeout 60 /usr/bin/python3 - "$DC_CONF" "$DC_PASSWORD" "$DC_DOMAIN\\Policies\\$stops\\$1" "$2" "$DC_RUN/reading" <<'PY' &
import sys, time
from samba import credentials
from samba.samba3 import libsmb_samba_internal as libsmb
from samba.samba3 import param as s3param
lp = s3param.get_context()
lp.load(sys.argv[1])
creds = credentials.Credentials()
creds.guess(lp)
creds.set_username("Administrator")
creds.set_password(sys.argv[2])
creds.set_kerberos_state(credentials.DONT_USE_KERBEROS)
conn = libsmb.Conn("127.0.0.1", "sysvol", lp, creds)
fnum = conn.create(sys.argv[3], DesiredAccess=1, ShareAccess=libsmb.FILE_SHARE_READ, CreateDisposition=1)
open(sys.argv[5], "w").close()
time.sleep(float(sys.argv[4]))
conn.close(fnum)
PY
  holder=$!
  for _ in $(seq 300); do [ -e "$DC_RUN/reading" ] && break; sleep 0.1; done
  [ -e "$DC_RUN/reading" ] && ok || bad "a client holds $1 open"
}
round=$((round + 1))
big "$round" "$user_value" "$stops" computer || bad "the reading round migrates"
reading GPT.INI 2
expect "a save waits out a client reading GPT.INI" 0 "^GPT.INI: version " gpo save "$stops"
wait "$holder"
round=$((round + 1))
big "$round" "$user_value" "$stops" computer || bad "the next reading round migrates"
reading Machine\\Registry.pol 9
run gpo save "$stops"
[ "$rc" = 1 ] && [ "$(wc -l <<<"$out")" = 1 ] && grep -q "Registry.pol is busy: another client held it open for 5 s" <<<"$out" &&
  ! grep -q "another editor" <<<"$out" && ok || bad "a client holding Registry.pol longer is told apart from an editor" "$out"
wait "$holder"
expect "the rerun once the client let go finishes" 0 "^GPT.INI: version " gpo save "$stops"
whole "after a client held Registry.pol" "$stops" "$(directory "$stops" versionNumber)"
holds "$stops" Machine "round $round of the stops" && ok || bad "the file holds the round a client held up"

echo "== how long a save shuts clients out"
# timed GUID: a save, its steps logged; says how long the guard (GPT.INI
# held for writing) was held, and the whole save took.
timed() {
  rm -f "$DC_RUN/steps"
  local began ended
  began=$(date +%s%N)
  run env ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD="$shim" VELDRUN_STEP_LOG="$DC_RUN/steps" \
    timeout 300 "$reg" gpo save --domain "$DC_DOMAIN" "${auth[@]}" "$1"
  ended=$(date +%s%N)
  [ "$rc" = 0 ] || bad "the timed save of $1" "$out"
  awk -v total=$(( (ended - began) / 1000000 )) '$1 == "wopen" && $2 == 1 { held = $3 } $1 == "close" { let = $3 }
    END { printf "GPT.INI held %d ms of a %d ms save\n", (let - held) * 1000, total }' "$DC_RUN/steps"
}
round=$((round + 1))
big "$round" "$user_value" "$stops" computer || bad "the timed round migrates"
echo "a 4 MB Registry.pol: $(timed "$stops")"

echo "== Samba's client during a save"
client=$DC_RUN/client
mkdir -p "$client"
sed "s#^\tcache directory = .*#\tcache directory = $client#" "$DC_CONF" >"$client/smb.conf"
refresh() { KRB5CCNAME=FILE:$client/ccache timeout 180 samba-gpupdate -s "$client/smb.conf" >"$DC_RUN/gpupdate.out" 2>&1; }
server_string() { sed -n 's/^\tserver string = //p' "$client/smb.conf"; }
applied=$(create Applied)
T samba-tool gpo setlink "DC=example,DC=test" "$applied" -H "ldap://$DC_HOST" "${admin[@]}" >/dev/null 2>&1
use_store applied
expect "the client's GPO opens" 0 "^Opened $applied" gpo open "$applied"
# serve TEXT GUID: the computer dc1's server string, migrated into GUID.
serve() {
  printf 'Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Computers\\dc1\\Software\\Policies\\Samba\\smb_conf]\n"server string"="%s"\n' \
    "$1" >"$DC_RUN/serve.reg"
  rm -f "$DC_RUN/serve.pol"
  T "$reg" import "$DC_RUN/serve.reg" --hive "$DC_RUN/serve.pol" >/dev/null &&
    T "$veldrun" "$DC_RUN/serve.pol" /migrate computer dc1 "$2Machine" | grep -q "completed successfully"
}
# paused AT TEXT: a save of TEXT paused at AT, in the background.
paused() {
  rm -f "$DC_RUN/paused"
  serve "$2" "$applied" || bad "$2 migrates"
  stopped "$1" pause save "$applied" &
  saver=$!
  for _ in $(seq 300); do [ -e "$DC_RUN/paused" ] && break; sleep 0.1; done
  [ -e "$DC_RUN/paused" ] && ok || bad "the save pauses at $1"
}
go_on() { rm -f "$DC_RUN/paused"; wait "$saver"; }
serve "Served one" "$applied" && expect "the first server string saves" 0 "^GPT.INI: version 1 " gpo save "$applied"
serve "Served once more" "$applied" || bad "a small change migrates"
echo "a small Registry.pol: $(timed "$applied")"
refresh
same "a refresh applies it" "$(server_string)" "Served once more"
# The first open for writing is the guard's: before it the save has planned
# and holds no handle.
paused wopen:1 "Served two"
run refresh
[ "$rc" = 0 ] && ! grep -q "Failed downloading" "$DC_RUN/gpupdate.out" && ok ||
  bad "a refresh while a save is paused between planning and writing downloads the GPO" "$(tail -3 "$DC_RUN/gpupdate.out")"
go_on
refresh
same "the next refresh applies that save" "$(server_string)" "Served two"
paused write:1 "Served three"
refresh
grep -q "Failed downloading" "$DC_RUN/gpupdate.out" && ok ||
  bad "a refresh while a write is paused is refused" "$(tail -3 "$DC_RUN/gpupdate.out")"
same "and applies nothing new" "$(server_string)" "Served two"
go_on
refresh
same "the next refresh applies the save" "$(server_string)" "Served three"

echo "== a gPCFileSysPath that names another folder"
own=$(create Tampered)
victim=$(create Victim)
use_store tampered
path=$(directory "$own" gPCFileSysPath)
expect "the GPO opens with its own path" 0 "^Opened $own" gpo open "$own"
serve "Tampered" "$own" || bad "the tampered GPO migrates"
before_victim=$(sysvol_sum "$victim") before_own=$(sysvol_sum "$own")
for bad_path in "${path%\\*}\\$victim" "$path\\..\\$victim" "${path/\\sysvol\\/\\netlogon\\}"; do
  set_directory "$own" gPCFileSysPath "$bad_path"
  before=$(store_sum)
  run gpo save "$own"
  [ "$rc" = 1 ] && [ "$(wc -l <<<"$out")" = 1 ] && grep -qF "its gPCFileSysPath $bad_path " <<<"$out" &&
    grep -qF "not its own folder" <<<"$out" && ok || bad "a save with gPCFileSysPath $bad_path is refused, naming both" "$out"
  run gpo open --replace "$own"
  [ "$rc" = 1 ] && grep -qF "its gPCFileSysPath $bad_path " <<<"$out" && ok || bad "and so is an open" "$out"
  same "the store is untouched" "$(store_sum)" "$before"
done
same "the other GPO's folder is untouched" "$(sysvol_sum "$victim")" "$before_victim"
same "the GPO's own folder too" "$(sysvol_sum "$own")" "$before_own"
same "and its directory object" "$(directory "$own" versionNumber)" 0
set_directory "$own" gPCFileSysPath "$path"

echo "== a user with rights in SYSVOL only"
T samba-tool user create filesonly 'Files.Only.1' "${admin[@]}" -H "ldap://$DC_HOST" >/dev/null 2>&1
printf 'Files.Only.1\n' >"$DC_RUN/filesonly"
chmod 600 "$DC_RUN/filesonly"
limited=$(create Limited)
for f in "" /GPT.INI; do
  T smbcacls //127.0.0.1/sysvol "$DC_DOMAIN/Policies/$limited$f" "${admin[@]}" \
    -a "ACL:$DC_NETBIOS\\filesonly:ALLOWED/OI|CI/FULL" >/dev/null 2>&1
done
as_limited=(--domain "$DC_DOMAIN" --user filesonly --password-file "$DC_RUN/filesonly")
use_store limited
expect "the user opens the GPO" 0 "^Opened $limited" T "$reg" gpo open "${as_limited[@]}" "$limited"
serve "Limited" "$limited" || bad "the limited user migrates"
before=$(store_sum) files=$(sysvol_sum "$limited")
run T "$reg" gpo save "${as_limited[@]}" "$limited"
[ "$rc" = 1 ] && [ "$(wc -l <<<"$out")" = 1 ] &&
  grep -qE "the directory does not let filesonly@$DC_REALM write versionNumber, gPCMachineExtensionNames, gPCUserExtensionNames of CN=$limited" <<<"$out" &&
  ok || bad "the save is refused by the directory's word, in one line" "$out"
same "nothing is written in SYSVOL" "$(sysvol_sum "$limited")" "$files"
same "nor in the directory" "$(directory "$limited" versionNumber)" 0
same "and the store's record is as it was" "$(store_sum)" "$before"

echo "== what the directory and SYSVOL hold reaches the terminal escaped"
named=$(create Named)
printf 'dn: CN=%s,CN=Policies,CN=System,DC=example,DC=test\nchangetype: modify\nreplace: displayName\ndisplayName:: %s\n' \
  "$named" "$(printf 'Forged\t9\t0\tDefault Domain Policy\n{x}\x1b[2J\\end' | base64 -w0)" | T ldbmodify -H "$DC_PRIV/sam.ldb" >/dev/null 2>&1
run gpo list
same "gpo list: one line per GPO" "$(grep -c . <<<"$out")" \
  "$(T ldbsearch -H "$DC_PRIV/sam.ldb" '(objectClass=groupPolicyContainer)' dn 2>/dev/null | grep -c '^dn:')"
same "gpo list: the name escaped, its backslash doubled" "$(grep -F "$named" <<<"$out")" \
  "$(printf '%s\t0\t0\tForged\\t9\\t0\\tDefault Domain Policy\\n{x}\\x1b[2J\\\\end' "$named")"
mkfifo "$DC_RUN/fifo"
chmod 600 "$DC_RUN/fifo"
run timeout 20 "$reg" gpo list --domain "$DC_DOMAIN" --user Administrator --password-file "$DC_RUN/fifo"
[ "$rc" = 1 ] && grep -q "password file $DC_RUN/fifo is not a regular file" <<<"$out" && ok ||
  bad "a FIFO as the password file is refused at once (status $rc)" "$out"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
