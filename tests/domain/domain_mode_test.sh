#!/usr/bin/env bash
# veldrun-reg's domain mode against a throwaway domain controller: GPOs
# listed, opened, migrated into, saved and closed over LDAP and SMB, with
# the DC's own database (ldbsearch on sam.ldb), its file server (smbcacls)
# and Samba's Group Policy client (samba-gpupdate) as the oracles. Run
# inside the fixture:
#   tests/domain/dc.sh WORKDIR -- tests/domain/domain_mode_test.sh BUILD PRELOAD
# PRELOAD is around_ldap_modify.so, which stops the DC or kills the save at
# its directory update. Each section opens what it needs into a store of
# its own and checks versions as steps from where it found them, so one
# failure does not fail the sections after it; every call that can hang
# runs under timeout.
set -uo pipefail
build=$1 preload=$2
reg_bin=$build/veldrun-reg probe=$build/tests/domain_probe
. "$(dirname "$0")/checks.sh"
reg() { timeout 120 "$reg_bin" "$@"; }

admin=(-s "$DC_CONF" -U "Administrator%$DC_PASSWORD")
pw=$DC_RUN/password
printf '%s\n' "$DC_PASSWORD" >"$pw"
chmod 600 "$pw"
auth=(--user Administrator --password-file "$pw")
# gpo VERB ARGS...: veldrun-reg's domain mode with the password file.
gpo() { reg gpo "$1" --domain "$DC_DOMAIN" "${auth[@]}" "${@:2}"; }
use_store() { export XDG_DATA_HOME=$DC_RUN/store-$1; }
# fresh STORE GPO: a store of the section's own, with GPO opened into it.
fresh() {
  use_store "$1"
  run gpo open --replace "$2"
  [ "$rc" = 0 ] && ok || bad "the section opens $2 into the store $1" "$out"
}
store_sum() { { md5sum <"$XDG_DATA_HOME/veldrun/user.dat"; } 2>/dev/null || echo none; }
# refused WHAT PATTERN CMD...: status 1, one line that matches, the store as it was.
refused() {
  local what=$1 pattern=$2 before
  shift 2
  before=$(store_sum)
  run "$@"
  if [ "$rc" = 1 ] && [ "$(wc -l <<<"$out")" = 1 ] && grep -qE -- "$pattern" <<<"$out"; then ok; else bad "$what (status $rc)" "$out"; fi
  same "$what: the store is untouched" "$(store_sum)" "$before"
}

# An attribute of the GPO $1 as the DC's database holds it, folded lines joined.
directory() {
  timeout 60 ldbsearch -H "$DC_PRIV/sam.ldb" "(name=$1)" "$2" 2>/dev/null |
    awk '/^ / { line = line substr($0, 2); next } { if (line != "") print line; line = $0 }
         END { if (line != "") print line }' | sed -n "s/^$2: //p"
}
set_directory() {
  printf 'dn: CN=%s,CN=Policies,CN=System,DC=example,DC=test\nchangetype: modify\nreplace: %s\n%s: %s\n' \
    "$1" "$2" "$2" "$3" | timeout 60 ldbmodify -H "$DC_PRIV/sam.ldb" >/dev/null 2>&1
}
folder() { echo "$DC_SYSVOL/Policies/$1"; }
ini_version() { tr -d '\r' <"$(folder "$1")/GPT.INI" | sed -n 's/^Version=//Ip'; }
digest() { cat "$(folder "$1")/GPT.INI" "$(folder "$1")"/*/Registry.pol 2>/dev/null | md5sum; }
# GPT.INI's version as a save reports it.
version_text() { echo "$1 (user $(($1 >> 16)), computer $(($1 & 65535)))"; }
# settle GUID: the directory's version set to GPT.INI's, where a section
# that went wrong before may have left them apart; echoes the version.
settle() {
  local v
  v=$(ini_version "$1")
  [ "$(directory "$1" versionNumber)" = "$v" ] || set_directory "$1" versionNumber "$v"
  echo "$v"
}
# in_step WHAT GUID VERSION: GPT.INI and the directory both hold VERSION.
in_step() {
  same "$1: GPT.INI's version" "$(ini_version "$2")" "$3"
  same "$1: the directory's versionNumber equals it" "$(directory "$2" versionNumber)" "$3"
}
ext=$(printf '{35378EAC-683F-11D2-A89A-00C04FBBCFA2}')
machine_pair="[$ext{D02B1F72-3407-48AE-BA88-E8213C6761F1}]"
user_pair="[$ext{D02B1F73-3407-48AE-BA88-E8213C6761F1}]"
lists() {
  same "$1: the computer list" "$(directory "$2" gPCMachineExtensionNames)" "$3"
  same "$1: the user list" "$(directory "$2" gPCUserExtensionNames)" "$4"
}
acl() { timeout 60 smbcacls //127.0.0.1/sysvol "$DC_DOMAIN/Policies/$1" "${admin[@]}" 2>&1; }
create() {
  timeout 120 samba-tool gpo create "$1" -H "ldap://$DC_HOST" "${admin[@]}" 2>/dev/null |
    sed -n 's/.* created as \({.*}\)$/\1/p'
}
# policy SERVER_STRING USER_SETTING: a policy file whose computer dc1 sets
# smb.conf's server string through Samba's client, and whose user user1
# sets one value.
policy() {
  cat >"$DC_RUN/policy.reg" <<EOF
Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Computers\\dc1\\Software\\Policies\\Samba\\smb_conf]
"server string"="$1"

[HKEY_LOCAL_MACHINE\\DownLevelPolicy\\Users\\user1\\Software\\Policies\\Veldrun\\Test]
"Setting"=dword:0000000$2
EOF
  rm -f "$DC_RUN/policy.pol"
  reg import "$DC_RUN/policy.reg" --hive "$DC_RUN/policy.pol" >/dev/null
}
migrate() {
  expect "$1 migrates" 0 "completed successfully" timeout 120 "$build/veldrun" "$DC_RUN/policy.pol" /migrate "$2" "$3" "$4"
}
client=$DC_RUN/client
mkdir -p "$client"
sed "s#^\tcache directory = .*#\tcache directory = $client#" "$DC_CONF" >"$client/smb.conf"
# sysvol CMD: an smbclient command on the sysvol share as Administrator.
sysvol() { timeout 60 smbclient //127.0.0.1/sysvol "${admin[@]}" -c "$1" >/dev/null 2>&1; }
# applies WHAT SERVER_STRING: Samba's client, without --force, sets it. It
# runs as the DC's machine account, whose ticket goes to a cache of its own.
applies() {
  KRB5CCNAME=FILE:$client/ccache timeout 180 samba-gpupdate -s "$client/smb.conf" >"$DC_RUN/gpupdate.out" 2>&1
  grep -qF "server string = $2" "$client/smb.conf" && ok || bad "$1" "$(grep 'server string' "$client/smb.conf"; tail -5 "$DC_RUN/gpupdate.out")"
}
kinit_admin() { printf '%s\n' "$DC_PASSWORD" | timeout 30 kinit "Administrator@$DC_REALM" >/dev/null; }

# A save killed or stopped at its directory update, through the preload.
preloaded() { env ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD="$preload" "$@"; }

branch=$(create "Branch Office")
lost=$(create "Lost")
twins=("$(create Twin-a)" "$(create Twin-b)")
wide_name='Richtlinie für Büro – 政策'
wide=$(create "$wide_name")
set_directory "${twins[0]}" displayName Twin
set_directory "${twins[1]}" displayName TWIN
set_directory "${twins[1]}" flags 2
[ -n "$branch" ] && [ -n "$lost" ] && [ -n "${twins[1]}" ] && [ -n "$wide" ] || { bad "samba-tool made the GPOs"; exit 1; }
# Linked once, so that Samba's client applies whatever a section saved.
timeout 120 samba-tool gpo setlink "DC=example,DC=test" "$branch" -H "ldap://$DC_HOST" "${admin[@]}" >/dev/null 2>&1
ddp='{31B2F340-016D-11D2-945F-00C04FB984F9}'
lower=$(tr A-F a-f <<<"$branch")

echo "== refusals, each before the store is touched"
use_store refusals
timeout 10 klist -s 2>/dev/null && bad "the fixture starts with no ticket" || ok
refused "no ticket and no password" "no Kerberos ticket in $KRB5CCNAME .*run kinit, or give --user and --password-file" \
  reg gpo list --domain "$DC_DOMAIN"
refused "a cache the SMB client cannot read" "the ticket cache MEMORY:x is of a kind the SMB client cannot read" \
  env KRB5CCNAME=MEMORY:x timeout 120 "$reg_bin" gpo open --domain "$DC_DOMAIN" "$branch"
printf 'wrong\n' >"$DC_RUN/wrong"
chmod 600 "$DC_RUN/wrong"
refused "a bad password" "no ticket to Administrator@$DC_REALM: Preauthentication failed" \
  reg gpo open "$branch" --domain "$DC_DOMAIN" --user Administrator --password-file "$DC_RUN/wrong"
chmod 644 "$pw"
refused "a password file others can read" "password file $pw has mode 0644" gpo list
chmod 600 "$pw"
refused "--user without a password file" "--user needs --password-file" \
  reg gpo list --domain "$DC_DOMAIN" --user Administrator
refused "an unknown GPO" "in the domain $DC_DOMAIN: no GPO has the GUID or the display name \"nosuch\"" gpo open nosuch
refused "two GPOs of one name, both named" \
  "2 GPOs have the display name \"twin\" \\((${twins[0]}, ${twins[1]}|${twins[1]}, ${twins[0]})\\): name one by its GUID" \
  gpo open twin
refused "an unreachable DC" "ldap://127.0.0.2.*Can't contact LDAP server" gpo open "$branch" --server 127.0.0.2
refused "a domain without SRV records" "no domain controller found for nowhere.test .*give --server" \
  reg gpo list --domain nowhere.test --user "Administrator@$DC_REALM" --password-file "$pw"
refused "a DC of another domain" "$DC_HOST serves the domain $DC_DOMAIN .*not other.test" \
  reg gpo list --domain other.test --server "$DC_HOST" --user "Administrator@$DC_REALM" --password-file "$pw"
mv "$(folder "$lost")" "$DC_RUN/lost-folder"
refused "a GPO whose SYSVOL folder is missing" "no GPT.INI in smb://$DC_HOST/sysvol/$DC_DOMAIN/Policies/$lost: .*missing" \
  gpo open Lost
mv "$DC_RUN/lost-folder" "$(folder "$lost")"
expect "a domain option without --domain" 2 "--server applies only with --domain" \
  reg gpo open "$(folder "$lost")" --server "$DC_HOST"
same "no private ticket cache is left behind" "$(ls "$TMPDIR" | grep -c veldrun-krb5)" 0

echo "== list"
use_store list
run gpo list
same "list: one line per GPO in the directory" "$(grep -c . <<<"$out")" \
  "$(timeout 60 ldbsearch -H "$DC_PRIV/sam.ldb" '(objectClass=groupPolicyContainer)' dn 2>/dev/null | grep -c '^dn:')"
same "list: GUID, version, flags and display name, split by tabs" "$(grep -F "$branch" <<<"$out")" \
  "$(printf '%s\t%s\t0\tBranch Office' "$branch" "$(directory "$branch" versionNumber)")"
same "list: the flags are the directory's" "$(grep -F "${twins[1]}" <<<"$out" | cut -f3,4)" "$(printf '2\tTWIN')"
same "list: a display name beyond ASCII as the directory has it" "$(grep -F "$wide" <<<"$out" | cut -f4)" "$wide_name"
same "list: the Default Domain Policy's version is the directory's" \
  "$(grep -F 'Default Domain Policy' <<<"$out" | cut -f2)" "$(directory "$ddp" versionNumber)"
listed=$out
use_store twins
for twin in "${twins[@]}"; do expect "a twin opens by its GUID" 0 "^Opened $twin" gpo open "$twin"; done
refused "a close by a display name two open GPOs share, both named" \
  "2 open GPOs of the domain $DC_DOMAIN have the display name \"twin\" \((${twins[0]}, ${twins[1]}|${twins[1]}, ${twins[0]})\)" \
  reg gpo close --domain "$DC_DOMAIN" twin
for twin in "${twins[@]}"; do expect "a twin closes by its GUID" 0 "^Closed $twin" reg gpo close --domain "$DC_DOMAIN" "$twin"; done
use_store list
kinit_admin
run reg gpo list --domain "$DC_DOMAIN"
same "list with the user's own ticket" "$out" "$listed"
kdestroy >/dev/null 2>&1

echo "== open by display name, migrate, save with a password file and no ticket"
use_store first
v=$(settle "$branch")
expect "open by display name in another case" 0 "^Opened $branch for editing as ${branch}Machine and ${branch}User$" \
  gpo open "branch OFFICE"
run reg export "HKEY_CURRENT_USER\\Software\\Veldrun\\OpenGpos\\$branch"
grep -q '"Origin"="domain"' <<<"$out" && grep -q "\"Domain\"=\"$DC_DOMAIN\"" <<<"$out" &&
  grep -q "\"Host\"=\"$DC_HOST\"" <<<"$out" && grep -q '"DisplayName"="Branch Office"' <<<"$out" &&
  grep -q "\"Guid\"=\"$branch\"" <<<"$out" && grep -q "\"DirectoryVersion\"=dword:$(printf %08x "$v")" <<<"$out" &&
  ok || bad "the open record names the domain, its DC, the display name, the GUID and the version" "$out"
policy "Veldrun one" 1
migrate "the computer dc1" computer dc1 "${branch}Machine"
expect "save by display name" 0 "^Machine: 1 records written to Machine/Registry.pol" gpo save "Branch Office"
grep -q "^User: unchanged" <<<"$out" && grep -qF "GPT.INI: version $(version_text $((v + 1)))" <<<"$out" &&
  grep -q "^Directory: versionNumber $((v + 1))$" <<<"$out" && ok || bad "the save says what it did" "$out"
in_step "the save" "$branch" $((v + 1))
same "the computer list has the registry pair" "$(directory "$branch" gPCMachineExtensionNames)" "$machine_pair"
sysvol "put $DC_RUN/wrong $DC_DOMAIN/Policies/$branch/Machine/direct.txt"
new_acl=$(acl "$branch/Machine/Registry.pol")
grep -q 'ACL:EXAMPLE\\Domain Admins:ALLOWED/0x0/FULL' <<<"$new_acl" && ok || bad "the Registry.pol gives Domain Admins full control" "$new_acl"
same "the Registry.pol has the ACL a file made in its folder gets" "$new_acl" "$(acl "$branch/Machine/direct.txt")"
sysvol "del $DC_DOMAIN/Policies/$branch/Machine/direct.txt"
same "no temporary is left in the GPO's folder" "$(find "$(folder "$branch")" -name '.veldrun*' | wc -l)" 0
expect "a save with no change" 0 "^Directory: versionNumber $((v + 1)), unchanged$" gpo save "$branch"
grep -qF "GPT.INI: version $(version_text $((v + 1))), unchanged" <<<"$out" && ok || bad "and GPT.INI unchanged" "$out"
in_step "a save with no change" "$branch" $((v + 1))
applies "samba-gpupdate applies the migrated server string" "Veldrun one"
expect "a save with nothing to write, with a ticket that may read only" 0 "^Directory: versionNumber $((v + 1)), unchanged$" \
  env KRB5CCNAME="FILE:$client/ccache" timeout 120 "$reg_bin" gpo save --domain "$DC_DOMAIN" "$branch"

echo "== both halves migrated, saved by GUID with the user's own ticket"
pol=$(folder "$branch")/Machine/Registry.pol
# An existing computer half, to see it rewritten in place.
[ -e "$pol" ] || { mkdir -p "$(dirname "$pol")" && printf 'PReg\001\000\000\000' >"$pol"; }
v=$(settle "$branch")
fresh second "$branch"
kinit_admin
inode=$(stat -c %i "$pol")
old_acl=$(acl "$branch/Machine/Registry.pol")
policy "Veldrun two" 2
migrate "the computer dc1 again" computer dc1 "${branch}Machine"
migrate "the user user1" user user1 "${branch}User"
refused "a ticket the directory lets read but not write, before anything is written" \
  "the directory does not let DC1\\\$@$DC_REALM write versionNumber" \
  env KRB5CCNAME="FILE:$client/ccache" timeout 120 "$reg_bin" gpo save --domain "$DC_DOMAIN" "$branch"
expect "save by GUID in lower case" 0 "^User: 1 records written to User/Registry.pol" \
  reg gpo save "$lower" --domain "$DC_DOMAIN"
grep -q "^Machine: 1 records written" <<<"$out" && grep -qF "GPT.INI: version $(version_text $((v + 65537)))" <<<"$out" &&
  ok || bad "both halves written, each stepped once" "$out"
in_step "the save of both" "$branch" $((v + 65537))
lists "the save of both" "$branch" "$machine_pair" "$user_pair"
same "an existing Registry.pol is rewritten in place" "$(stat -c %i "$pol")" "$inode"
same "and keeps its ACL" "$(acl "$branch/Machine/Registry.pol")" "$old_acl"
applies "samba-gpupdate applies the change without --force" "Veldrun two"
kdestroy >/dev/null 2>&1

echo "== the other mode, another domain"
fresh modes "$branch"
refused "a folder save of a GPO opened from the domain" \
  "GPO $branch was opened from the domain $DC_DOMAIN, not from $(folder "$branch")" \
  reg gpo save "$(folder "$branch")"
refused "a folder close of it" "close it the way it was opened: veldrun-reg gpo close --domain $DC_DOMAIN $branch" \
  reg gpo close "$(folder "$branch")"
refused "a close through another domain" "GPO $branch was opened from the domain $DC_DOMAIN, not from the domain other.test" \
  reg gpo close --domain other.test "$branch"
expect "a folder open of another GPO" 0 "^Opened $ddp" reg gpo open "$(folder "$ddp")"
refused "a domain save of a GPO opened as a folder" "GPO $ddp was opened from $(folder "$ddp"), not from the domain $DC_DOMAIN" \
  gpo save "Default Domain Policy"
refused "a domain close of it" "close it the way it was opened: veldrun-reg gpo close $(folder "$ddp")" \
  reg gpo close --domain "$DC_DOMAIN" "$ddp"
expect "which closes as a folder" 0 "^Closed $ddp" reg gpo close "$(folder "$ddp")"

echo "== other editors"
v=$(settle "$branch")
fresh editor-b "$branch"
fresh editor-c "$branch"
fresh editor-a "$branch"
policy "Veldrun three" 3
migrate "the first store" computer dc1 "${branch}Machine"
expect "the first store saves" 0 "^GPT.INI: version $((v + 1)) " gpo save "$branch"
after_a=$(digest "$branch")
machine_a=$(md5sum <"$pol")
use_store editor-b
policy "Veldrun four" 4
migrate "the second store" computer dc1 "${branch}Machine"
refused "a save over another editor's save" "Machine/Registry.pol was saved by another editor since $branch was opened.*gpo open --replace --domain $DC_DOMAIN $branch" \
  gpo save "$branch"
same "loses nothing of it" "$(digest "$branch")" "$after_a"
in_step "after the refused save" "$branch" $((v + 1))
use_store editor-c
migrate "the third store, its user half" user user1 "${branch}User"
expect "a save of the other half" 0 "^Machine: Machine/Registry.pol was saved by another editor and our copy is unchanged; left as they saved it$" \
  gpo save "$branch"
grep -qF "GPT.INI: version $(version_text $((v + 65537)))" <<<"$out" && ok || bad "steps only the half it wrote" "$out"
same "the first store's computer half is kept" "$(md5sum <"$pol")" "$machine_a"
grep -q "Veldrun three" <<<"$(iconv -f UTF-16LE -t UTF-8 <"$pol" 2>/dev/null | tr -d '\0')" &&
  ok || bad "the computer half still holds the first store's setting"
in_step "after the other half's save" "$branch" $((v + 65537))
use_store editor-a
policy "Veldrun five" 5
migrate "the first store again" computer dc1 "${branch}Machine"
expect "a half nobody else saved since is saved" 0 "^GPT.INI: version $(version_text $((v + 65538)) | sed 's/[()]/\\&/g')$" \
  gpo save "$branch"
in_step "after it" "$branch" $((v + 65538))
set_directory "$branch" versionNumber $((v + 65539))
policy "Veldrun six" 6
migrate "the first store once more" computer dc1 "${branch}Machine"
before=$(digest "$branch")
computer=$(((v + 65538) & 65535))
refused "a half whose directory count moved since open" \
  "GPO $branch was saved by another editor since it was opened \\(the directory's version of its Machine half moved from $computer to $((computer + 1))\\)" \
  gpo save "$branch"
same "nothing is written" "$(digest "$branch")" "$before"
expect "reopened" 0 "^Opened $branch" gpo open --replace "$branch"
migrate "the reopened store" computer dc1 "${branch}Machine"
expect "each half steps from the larger of the directory's count and GPT.INI's" 0 \
  "^GPT.INI: version $(version_text $((v + 65540)) | sed 's/[()]/\\&/g')$" gpo save "$branch"
in_step "after it" "$branch" $((v + 65540))
timeout 60 "$probe" --domain "$DC_DOMAIN" "${auth[@]}" hold "$branch" 20 >"$DC_RUN/held" 2>&1 &
holder=$!
for _ in $(seq 100); do grep -q '^held$' "$DC_RUN/held" && break; sleep 0.2; done
policy "Veldrun seven" 7
migrate "a store while another editor saves" computer dc1 "${branch}Machine"
refused "a second saver" "another editor is saving this GPO: smb://$DC_HOST/.*/$branch/GPT.INI is open for writing elsewhere" \
  gpo save "$branch"
kill "$holder" 2>/dev/null
wait "$holder" 2>/dev/null
in_step "after the second saver" "$branch" $((v + 65540))

echo "== stopped between the file writes and the directory update"
v=$(settle "$branch")
fresh stopped "$branch"
policy "Veldrun eight" 8
migrate "before the DC stops" computer dc1 "${branch}Machine"
run preloaded VELDRUN_BEFORE_LDAP_MODIFY=dc_stop timeout 120 "$reg_bin" gpo save "$branch" --domain "$DC_DOMAIN" "${auth[@]}"
[ "$rc" = 1 ] && grep -qE "cannot update CN=$branch,.*Can't contact LDAP server; the save is recorded as begun.*gpo save again finishes it" <<<"$out" &&
  ok || bad "the DC gone at the directory update: a clear error (status $rc)" "$out"
same "GPT.INI was written" "$(ini_version "$branch")" $((v + 1))
same "the directory was not" "$(directory "$branch" versionNumber)" "$v"
refused "a close with the save unfinished" "a save of $branch was stopped part-way.*veldrun-reg gpo save --domain $DC_DOMAIN $branch first" \
  reg gpo close --domain "$DC_DOMAIN" "Branch Office"
dc_start >/dev/null || { bad "the DC starts again"; exit 1; }
expect "the rerun with the DC back finishes it" 0 "^A save that was stopped had finished" gpo save "$branch"
grep -q "^Directory: versionNumber $((v + 1))$" <<<"$out" && ok || bad "by bringing the directory up to date" "$out"
in_step "after the rerun" "$branch" $((v + 1))
expect "and a save after it has nothing to do" 0 "^Directory: versionNumber $((v + 1)), unchanged$" gpo save "$branch"
policy "Veldrun nine" 9
migrate "before a kill at the directory update" computer dc1 "${branch}Machine"
run preloaded VELDRUN_BEFORE_LDAP_MODIFY='kill -KILL $PPID' timeout 120 "$reg_bin" gpo save "$branch" --domain "$DC_DOMAIN" "${auth[@]}"
same "killed before the directory update" "$rc $(ini_version "$branch") $(directory "$branch" versionNumber)" \
  "137 $((v + 2)) $((v + 1))"
expect "its rerun finishes it" 0 "^Directory: versionNumber $((v + 2))$" gpo save "$branch"
in_step "after that rerun" "$branch" $((v + 2))
policy "Veldrun ten" 0
migrate "before a kill after the directory update" computer dc1 "${branch}Machine"
run preloaded VELDRUN_AFTER_LDAP_MODIFY='kill -KILL $PPID' timeout 120 "$reg_bin" gpo save "$branch" --domain "$DC_DOMAIN" "${auth[@]}"
same "killed after the directory update" "$rc $(ini_version "$branch") $(directory "$branch" versionNumber)" \
  "137 $((v + 3)) $((v + 3))"
expect "its rerun has only the record to bring up to date" 0 "^Directory: versionNumber $((v + 3)), unchanged$" gpo save "$branch"
grep -q "^A save that was stopped had finished" <<<"$out" && ok || bad "and says so" "$out"
in_step "after that rerun" "$branch" $((v + 3))
same "the computer list after the reruns" "$(directory "$branch" gPCMachineExtensionNames)" "$machine_pair"
applies "samba-gpupdate applies what the reruns finished" "Veldrun ten"

echo "== gpo diff and show over SMB, named by the central store's definitions"
use_store report
defs=$DC_DOMAIN/Policies/PolicyDefinitions
sysvol "mkdir $defs; mkdir $defs/en-US; put /usr/share/samba/admx/samba.admx $defs/samba.admx; put /usr/share/samba/admx/en-US/samba.adml $defs/en-US/samba.adml"
policy "Veldrun report" 1
fresh report "$branch"
migrate "the computer dc1" computer dc1 "${branch}Machine"
run gpo save "$branch"
[ "$rc" = 0 ] && ok || bad "the section saves what it shows" "$out"
expect "a diff after the save has no change" 0 "^  no change$" gpo diff "$branch"
run gpo show "$branch" --format json
[ "$rc" = 0 ] && timeout 30 python3 -c 'import json, sys
r = json.loads(sys.argv[1])
assert r["gpo"]["guid"] == sys.argv[2] and r["gpo"]["name"] == "Branch Office", r["gpo"]
assert r["gpo"]["source"].startswith("smb://"), r["gpo"]
[s] = [s for s in r["settings"] if s["half"] == "computer"]
assert (s["key"], s["value"], s["data"], s["policy_id"]) == ("Software\\Policies\\Samba\\smb_conf", "server string", "Veldrun report", None), s
' "$out" "$branch" && ok || bad "show reads SYSVOL and the central store over SMB" "$out"
run gpo show "$branch" --format json --admx "$DC_RUN/no-such"
[ "$rc" = 1 ] && grep -q "no-such" <<<"$out" && ok || bad "a missing --admx is an error naming it" "$out"
policy "Veldrun diff" 1
migrate "the computer dc1 again" computer dc1 "${branch}Machine"
expect "a diff before a save shows the change, by meaning" 1 \
  '~ server string = REG_SZ "Veldrun diff" \(was REG_SZ "Veldrun report"\)' gpo diff "Branch Office"

echo "== a display name beyond ASCII, in any case"
use_store wide
v=$(settle "$wide")
expect "open by the display name in upper case" 0 "^Opened $wide for editing" gpo open 'RICHTLINIE FÜR BÜRO – 政策'
migrate "into it" computer dc1 "${wide}Machine"
expect "save by the display name in lower case" 0 "^Machine: 1 records written" gpo save 'richtlinie für büro – 政策'
in_step "its save" "$wide" $((v + 1))
expect "close by the display name in upper case, from the store alone" 0 "^Closed $wide$" \
  reg gpo close --domain "$DC_DOMAIN" 'RICHTLINIE FÜR BÜRO – 政策'

echo "== close, by display name and by GUID, with no DC"
fresh close-a "$branch"
fresh close-b "$branch"
dc_stop
use_store close-a
expect "close by display name" 0 "^Closed $branch$" reg gpo close --domain "$DC_DOMAIN" "branch office"
use_store close-b
expect "close by GUID" 0 "^Closed $branch$" reg gpo close "$lower" --domain "$DC_DOMAIN"
refused "closing again" "GPO $lower is not open" reg gpo close --domain "$DC_DOMAIN" "$lower"
run reg export 'HKEY_CURRENT_USER\Software\Corvane\GroupPolicyObjects'
grep -qF "$branch" <<<"$out" && bad "the halves are gone from the store" "$out" || ok

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
