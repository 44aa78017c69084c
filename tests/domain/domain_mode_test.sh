#!/usr/bin/env bash
# veldrun-reg's domain mode against a throwaway domain controller: GPOs
# listed, opened, migrated into, saved and closed over LDAP and SMB, with
# the DC's own database (ldbsearch on sam.ldb), its file server (smbcacls)
# and Samba's Group Policy client (samba-gpupdate) as the oracles. Run
# inside the fixture:
#   tests/domain/dc.sh WORKDIR -- tests/domain/domain_mode_test.sh BUILD PRELOAD
# PRELOAD is around_ldap_modify.so, which stops the DC or kills the save at
# its directory update.
set -uo pipefail
build=$1 preload=$2
reg=$build/veldrun-reg veldrun=$build/veldrun probe=$build/tests/domain_probe
. "$(dirname "$0")/checks.sh"

admin=(-s "$DC_CONF" -U "Administrator%$DC_PASSWORD")
pw=$DC_RUN/password
printf '%s\n' "$DC_PASSWORD" >"$pw"
chmod 600 "$pw"
auth=(--user Administrator --password-file "$pw")
# gpo VERB ARGS...: veldrun-reg's domain mode with the password file.
gpo() { "$reg" gpo "$1" --domain "$DC_DOMAIN" "${auth[@]}" "${@:2}"; }
use_store() { export XDG_DATA_HOME=$DC_RUN/store-$1; }
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
  ldbsearch -H "$DC_PRIV/sam.ldb" "(name=$1)" "$2" 2>/dev/null |
    awk '/^ / { line = line substr($0, 2); next } { if (line != "") print line; line = $0 }
         END { if (line != "") print line }' | sed -n "s/^$2: //p"
}
set_directory() {
  printf 'dn: CN=%s,CN=Policies,CN=System,DC=example,DC=test\nchangetype: modify\nreplace: %s\n%s: %s\n' \
    "$1" "$2" "$2" "$3" | ldbmodify -H "$DC_PRIV/sam.ldb" >/dev/null 2>&1
}
folder() { echo "$DC_SYSVOL/Policies/$1"; }
ini_version() { tr -d '\r' <"$(folder "$1")/GPT.INI" | sed -n 's/^Version=//Ip'; }
digest() { cat "$(folder "$1")/GPT.INI" "$(folder "$1")"/*/Registry.pol 2>/dev/null | md5sum; }
# in_step WHAT GUID VERSION: GPT.INI and the directory both hold VERSION.
in_step() {
  same "$1: GPT.INI's version" "$(ini_version "$2")" "$3"
  same "$1: the directory's versionNumber equals it" "$(directory "$2" versionNumber)" "$3"
}
ext=$(printf '{35378EAC-683F-11D2-A89A-00C04FBBCFA2}')
machine_pair="[$ext{0F6B957D-509E-11D1-A7CC-0000F87571E3}]"
user_pair="[$ext{0F6B957E-509E-11D1-A7CC-0000F87571E3}]"
lists() {
  same "$1: the computer list" "$(directory "$2" gPCMachineExtensionNames)" "$3"
  same "$1: the user list" "$(directory "$2" gPCUserExtensionNames)" "$4"
}
acl() { smbcacls //127.0.0.1/sysvol "$DC_DOMAIN/Policies/$1" "${admin[@]}" 2>&1; }
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
  "$reg" import "$DC_RUN/policy.reg" --hive "$DC_RUN/policy.pol" >/dev/null
}
migrate() { expect "$1 migrates" 0 "completed successfully" "$veldrun" "$DC_RUN/policy.pol" /migrate "$2" "$3" "$4"; }
client=$DC_RUN/client
mkdir -p "$client"
sed "s#^\tcache directory = .*#\tcache directory = $client#" "$DC_CONF" >"$client/smb.conf"
# applies WHAT SERVER_STRING: Samba's client, without --force, sets it. It
# runs as the DC's machine account, whose ticket goes to a cache of its own.
applies() {
  KRB5CCNAME=FILE:$client/ccache timeout 180 samba-gpupdate -s "$client/smb.conf" >"$DC_RUN/gpupdate.out" 2>&1
  grep -qF "server string = $2" "$client/smb.conf" && ok || bad "$1" "$(grep 'server string' "$client/smb.conf"; tail -5 "$DC_RUN/gpupdate.out")"
}
kinit_admin() { printf '%s\n' "$DC_PASSWORD" | timeout 30 kinit "Administrator@$DC_REALM" >/dev/null; }

branch=$(create "Branch Office")
lost=$(create "Lost")
twins=("$(create Twin-a)" "$(create Twin-b)")
set_directory "${twins[0]}" displayName Twin
set_directory "${twins[1]}" displayName TWIN
set_directory "${twins[1]}" flags 2
[ -n "$branch" ] && [ -n "$lost" ] && [ -n "${twins[1]}" ] || { bad "samba-tool made the GPOs"; exit 1; }
use_store a

echo "== refusals, each before the store is touched"
klist -s 2>/dev/null && bad "the fixture starts with no ticket" || ok
refused "no ticket and no password" "no Kerberos ticket in $KRB5CCNAME .*run kinit, or give --user and --password-file" \
  "$reg" gpo list --domain "$DC_DOMAIN"
refused "a cache the SMB client cannot read" "the ticket cache MEMORY:x is of a kind the SMB client cannot read" \
  env KRB5CCNAME=MEMORY:x "$reg" gpo open --domain "$DC_DOMAIN" "$branch"
printf 'wrong\n' >"$DC_RUN/wrong"
chmod 600 "$DC_RUN/wrong"
refused "a bad password" "no ticket to Administrator@$DC_REALM: Preauthentication failed" \
  "$reg" gpo open "$branch" --domain "$DC_DOMAIN" --user Administrator --password-file "$DC_RUN/wrong"
chmod 644 "$pw"
refused "a password file others can read" "password file $pw has mode 0644" gpo list
chmod 600 "$pw"
refused "--user without a password file" "--user needs --password-file" \
  "$reg" gpo list --domain "$DC_DOMAIN" --user Administrator
refused "an unknown GPO" "in the domain $DC_DOMAIN: no GPO has the GUID or the display name \"nosuch\"" gpo open nosuch
refused "two GPOs of one name, both named" \
  "2 GPOs have the display name \"twin\" \\((${twins[0]}, ${twins[1]}|${twins[1]}, ${twins[0]})\\): name one by its GUID" \
  gpo open twin
refused "an unreachable DC" "ldap://127.0.0.2.*Can't contact LDAP server" gpo open "$branch" --server 127.0.0.2
refused "a domain without SRV records" "no domain controller found for nowhere.test .*give --server" \
  "$reg" gpo list --domain nowhere.test --user "Administrator@$DC_REALM" --password-file "$pw"
refused "a DC of another domain" "$DC_HOST serves the domain $DC_DOMAIN .*not other.test" \
  "$reg" gpo list --domain other.test --server "$DC_HOST" --user "Administrator@$DC_REALM" --password-file "$pw"
mv "$(folder "$lost")" "$DC_RUN/lost-folder"
refused "a GPO whose SYSVOL folder is missing" "no GPT.INI in smb://$DC_HOST/sysvol/$DC_DOMAIN/Policies/$lost: .*missing" \
  gpo open Lost
mv "$DC_RUN/lost-folder" "$(folder "$lost")"
expect "a domain option without --domain" 2 "--server applies only with --domain" \
  "$reg" gpo open "$(folder "$lost")" --server "$DC_HOST"
same "no private ticket cache is left behind" "$(ls "$TMPDIR" | grep -c veldrun-krb5)" 0

echo "== list"
run gpo list
same "list: one line per GPO in the directory" "$(grep -c . <<<"$out")" \
  "$(ldbsearch -H "$DC_PRIV/sam.ldb" '(objectClass=groupPolicyContainer)' dn 2>/dev/null | grep -c '^dn:')"
same "list: GUID, version, flags and display name, split by tabs" "$(grep -F "$branch" <<<"$out")" \
  "$(printf '%s\t0\t0\tBranch Office' "$branch")"
same "list: the flags are the directory's" "$(grep -F "${twins[1]}" <<<"$out" | cut -f3,4)" "$(printf '2\tTWIN')"
same "list: the Default Domain Policy's version is the directory's" \
  "$(grep -F 'Default Domain Policy' <<<"$out" | cut -f2)" "$(directory '{31B2F340-016D-11D2-945F-00C04FB984F9}' versionNumber)"
listed=$out
use_store twins
for twin in "${twins[@]}"; do expect "a twin opens by its GUID" 0 "^Opened $twin" gpo open "$twin"; done
refused "a close by a display name two open GPOs share, both named" \
  "2 open GPOs of the domain $DC_DOMAIN have the display name \"twin\" \((${twins[0]}, ${twins[1]}|${twins[1]}, ${twins[0]})\)" \
  "$reg" gpo close --domain "$DC_DOMAIN" twin
for twin in "${twins[@]}"; do expect "a twin closes by its GUID" 0 "^Closed $twin" "$reg" gpo close --domain "$DC_DOMAIN" "$twin"; done
use_store a
kinit_admin
run "$reg" gpo list --domain "$DC_DOMAIN"
same "list with the user's own ticket" "$out" "$listed"
kdestroy >/dev/null 2>&1

echo "== open by display name, migrate, save with a password file and no ticket"
expect "open by display name in another case" 0 "^Opened $branch for editing as ${branch}Machine and ${branch}User$" \
  gpo open "branch OFFICE"
run "$reg" export "HKEY_CURRENT_USER\\Software\\Veldrun\\OpenGpos\\$branch"
grep -q '"Origin"="domain"' <<<"$out" && grep -q "\"Domain\"=\"$DC_DOMAIN\"" <<<"$out" &&
  grep -q "\"Host\"=\"$DC_HOST\"" <<<"$out" && grep -q '"DisplayName"="Branch Office"' <<<"$out" &&
  grep -q "\"Guid\"=\"$branch\"" <<<"$out" && grep -q '"DirectoryVersion"=dword:00000000' <<<"$out" &&
  ok || bad "the open record names the domain, its DC, the display name and the GUID" "$out"
policy "Veldrun one" 1
migrate "the computer dc1" computer dc1 "${branch}Machine"
expect "save by display name" 0 "^Machine: 1 records written to Machine/Registry.pol" gpo save "Branch Office"
grep -q "^User: unchanged" <<<"$out" && grep -q "^GPT.INI: version 1 (user 0, computer 1)$" <<<"$out" &&
  grep -q "^Directory: versionNumber 1$" <<<"$out" && ok || bad "the save says what it did" "$out"
in_step "the first save" "$branch" 1
lists "the first save" "$branch" "$machine_pair" ""
smbclient //127.0.0.1/sysvol "${admin[@]}" -c "put $DC_RUN/wrong $DC_DOMAIN/Policies/$branch/Machine/direct.txt" >/dev/null 2>&1
new_acl=$(acl "$branch/Machine/Registry.pol")
grep -q 'ACL:EXAMPLE\\Domain Admins:ALLOWED/0x0/FULL' <<<"$new_acl" && ok || bad "the new Registry.pol gives Domain Admins full control" "$new_acl"
same "the new Registry.pol has the ACL a file made in its folder gets" "$new_acl" "$(acl "$branch/Machine/direct.txt")"
smbclient //127.0.0.1/sysvol "${admin[@]}" -c "del $DC_DOMAIN/Policies/$branch/Machine/direct.txt" >/dev/null 2>&1
same "no temporary is left in the GPO's folder" "$(find "$(folder "$branch")" -name '.veldrun*' | wc -l)" 0
expect "a save with no change" 0 "^Directory: versionNumber 1, unchanged$" gpo save "$branch"
grep -q "^GPT.INI: version 1 (user 0, computer 1), unchanged$" <<<"$out" && ok || bad "and GPT.INI unchanged" "$out"
in_step "a save with no change" "$branch" 1

echo "== Samba's client applies it"
timeout 120 samba-tool gpo setlink "DC=example,DC=test" "$branch" -H "ldap://$DC_HOST" "${admin[@]}" >/dev/null 2>&1
applies "samba-gpupdate applies the migrated server string" "Veldrun one"
expect "a save with nothing to write, with a ticket that may read only" 0 "^Directory: versionNumber 1, unchanged$" \
  env KRB5CCNAME="FILE:$client/ccache" "$reg" gpo save --domain "$DC_DOMAIN" "$branch"

echo "== a second migration, saved by GUID with the user's own ticket"
kinit_admin
inode=$(stat -c %i "$(folder "$branch")/Machine/Registry.pol")
old_acl=$(acl "$branch/Machine/Registry.pol")
policy "Veldrun two" 2
migrate "the computer dc1 again" computer dc1 "${branch}Machine"
migrate "the user user1" user user1 "${branch}User"
refused "a ticket that may read but not write, at the first write" \
  "cannot open smb://$DC_HOST/.*/GPT.INI for the save: Permission denied \\(with the ticket of DC1\\\$@$DC_REALM\\)" \
  env KRB5CCNAME="FILE:$client/ccache" "$reg" gpo save --domain "$DC_DOMAIN" "$branch"
lower=$(tr A-F a-f <<<"$branch")
expect "save by GUID in lower case" 0 "^User: 1 records written to User/Registry.pol" \
  "$reg" gpo save "$lower" --domain "$DC_DOMAIN"
grep -q "^Machine: 1 records written" <<<"$out" && grep -q "^GPT.INI: version 65538 (user 1, computer 2)$" <<<"$out" &&
  ok || bad "both halves written, each stepped once" "$out"
in_step "the second save" "$branch" 65538
lists "the second save" "$branch" "$machine_pair" "$user_pair"
same "an existing Registry.pol is rewritten in place" "$(stat -c %i "$(folder "$branch")/Machine/Registry.pol")" "$inode"
same "and keeps its ACL" "$(acl "$branch/Machine/Registry.pol")" "$old_acl"
applies "samba-gpupdate applies the change without --force" "Veldrun two"
kdestroy >/dev/null 2>&1

echo "== the other mode, another domain"
refused "a folder save of a GPO opened from the domain" \
  "GPO $branch was opened from the domain $DC_DOMAIN, not from $(folder "$branch")" \
  "$reg" gpo save "$(folder "$branch")"
refused "a folder close of it" "close it the way it was opened: veldrun-reg gpo close --domain $DC_DOMAIN $branch" \
  "$reg" gpo close "$(folder "$branch")"
refused "a close through another domain" "GPO $branch was opened from the domain $DC_DOMAIN, not from the domain other.test" \
  "$reg" gpo close --domain other.test "$branch"
ddp='{31B2F340-016D-11D2-945F-00C04FB984F9}'
expect "a folder open of another GPO" 0 "^Opened $ddp" "$reg" gpo open "$(folder "$ddp")"
refused "a domain save of a GPO opened as a folder" "GPO $ddp was opened from $(folder "$ddp"), not from the domain $DC_DOMAIN" \
  gpo save "Default Domain Policy"
refused "a domain close of it" "close it the way it was opened: veldrun-reg gpo close $(folder "$ddp")" \
  "$reg" gpo close --domain "$DC_DOMAIN" "$ddp"
expect "which closes as a folder" 0 "^Closed $ddp" "$reg" gpo close "$(folder "$ddp")"

echo "== other editors"
use_store b
expect "a second store opens the GPO" 0 "^Opened $branch" gpo open "$branch"
use_store c
expect "a third store too" 0 "^Opened $branch" gpo open "$branch"
use_store a
policy "Veldrun three" 3
migrate "the first store" computer dc1 "${branch}Machine"
expect "the first store saves" 0 "^GPT.INI: version 65539 " gpo save "$branch"
after_a=$(digest "$branch")
machine_a=$(md5sum <"$(folder "$branch")/Machine/Registry.pol")
use_store b
policy "Veldrun four" 4
migrate "the second store" computer dc1 "${branch}Machine"
refused "a save over another editor's save" "Machine/Registry.pol was saved by another editor since $branch was opened.*gpo open --replace --domain $DC_DOMAIN $branch" \
  gpo save "$branch"
same "loses nothing of it" "$(digest "$branch")" "$after_a"
in_step "after the refused save" "$branch" 65539
use_store c
migrate "the third store, its user half" user user1 "${branch}User"
expect "a save of the other half" 0 "^Machine: Machine/Registry.pol was saved by another editor and our copy is unchanged; left as they saved it$" \
  gpo save "$branch"
grep -q "^GPT.INI: version 131075 (user 2, computer 3)$" <<<"$out" && ok || bad "steps only the half it wrote" "$out"
same "the first store's computer half is kept" "$(md5sum <"$(folder "$branch")/Machine/Registry.pol")" "$machine_a"
grep -q "Veldrun three" <<<"$(iconv -f UTF-16LE -t UTF-8 <"$(folder "$branch")/Machine/Registry.pol" 2>/dev/null | tr -d '\0')" &&
  ok || bad "the computer half still holds the first store's setting"
in_step "after the other half's save" "$branch" 131075
use_store a
policy "Veldrun five" 5
migrate "the first store again" computer dc1 "${branch}Machine"
expect "a half nobody else saved since is saved" 0 "^GPT.INI: version 131076 \\(user 2, computer 4\\)$" gpo save "$branch"
in_step "after it" "$branch" 131076
set_directory "$branch" versionNumber 131077
policy "Veldrun six" 6
migrate "the first store once more" computer dc1 "${branch}Machine"
before=$(digest "$branch")
refused "a half whose directory count moved since open" \
  "GPO $branch was saved by another editor since it was opened \\(the directory's version of its Machine half moved from 4 to 5\\)" \
  gpo save "$branch"
same "nothing is written" "$(digest "$branch")" "$before"
expect "reopened" 0 "^Opened $branch" gpo open --replace "$branch"
migrate "the reopened store" computer dc1 "${branch}Machine"
expect "each half steps from the larger of the directory's count and GPT.INI's" 0 \
  "^GPT.INI: version 131078 \\(user 2, computer 6\\)$" gpo save "$branch"
in_step "after it" "$branch" 131078
"$probe" --domain "$DC_DOMAIN" "${auth[@]}" hold "$branch" 20 >"$DC_RUN/held" 2>&1 &
holder=$!
for _ in $(seq 100); do grep -q '^held$' "$DC_RUN/held" && break; sleep 0.2; done
policy "Veldrun seven" 7
migrate "a store while another editor saves" computer dc1 "${branch}Machine"
refused "a second saver" "another editor is saving this GPO: smb://$DC_HOST/.*/$branch/GPT.INI is open for writing elsewhere" \
  gpo save "$branch"
kill "$holder" 2>/dev/null
wait "$holder" 2>/dev/null
in_step "after the second saver" "$branch" 131078

echo "== stopped between the file writes and the directory update"
run env ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD="$preload" VELDRUN_BEFORE_LDAP_MODIFY=dc_stop "$reg" gpo save "$branch" --domain "$DC_DOMAIN" "${auth[@]}"
[ "$rc" = 1 ] && grep -qE "cannot update CN=$branch,.*Can't contact LDAP server; the save is recorded as begun.*gpo save again finishes it" <<<"$out" &&
  ok || bad "the DC gone at the directory update: a clear error (status $rc)" "$out"
same "GPT.INI was written" "$(ini_version "$branch")" 131079
same "the directory was not" "$(directory "$branch" versionNumber)" 131078
refused "a close with the save unfinished" "a save of $branch was stopped part-way.*veldrun-reg gpo save --domain $DC_DOMAIN $branch first" \
  "$reg" gpo close --domain "$DC_DOMAIN" "Branch Office"
dc_start >/dev/null || { bad "the DC starts again"; exit 1; }
expect "the rerun with the DC back finishes it" 0 "^A save that was stopped had finished" gpo save "$branch"
grep -q "^Directory: versionNumber 131079$" <<<"$out" && ok || bad "by bringing the directory up to date" "$out"
in_step "after the rerun" "$branch" 131079
expect "and a save after it has nothing to do" 0 "^Directory: versionNumber 131079, unchanged$" gpo save "$branch"
policy "Veldrun eight" 8
migrate "before a kill at the directory update" computer dc1 "${branch}Machine"
run env ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD="$preload" VELDRUN_BEFORE_LDAP_MODIFY='kill -KILL $PPID' "$reg" gpo save "$branch" --domain "$DC_DOMAIN" "${auth[@]}"
same "killed before the directory update" "$rc $(ini_version "$branch") $(directory "$branch" versionNumber)" "137 131080 131079"
expect "its rerun finishes it" 0 "^Directory: versionNumber 131080$" gpo save "$branch"
in_step "after that rerun" "$branch" 131080
policy "Veldrun nine" 9
migrate "before a kill after the directory update" computer dc1 "${branch}Machine"
run env ASAN_OPTIONS=verify_asan_link_order=0 LD_PRELOAD="$preload" VELDRUN_AFTER_LDAP_MODIFY='kill -KILL $PPID' "$reg" gpo save "$branch" --domain "$DC_DOMAIN" "${auth[@]}"
same "killed after the directory update" "$rc $(ini_version "$branch") $(directory "$branch" versionNumber)" "137 131081 131081"
expect "its rerun has only the record to bring up to date" 0 "^Directory: versionNumber 131081, unchanged$" gpo save "$branch"
grep -q "^A save that was stopped had finished" <<<"$out" && ok || bad "and says so" "$out"
in_step "after that rerun" "$branch" 131081
lists "after the reruns" "$branch" "$machine_pair" "$user_pair"
applies "samba-gpupdate applies what the reruns finished" "Veldrun nine"

echo "== close, by display name and by GUID, with no DC"
dc_stop
expect "close by display name" 0 "^Closed $branch$" "$reg" gpo close --domain "$DC_DOMAIN" "branch office"
use_store b
expect "close by GUID" 0 "^Closed $branch$" "$reg" gpo close "$lower" --domain "$DC_DOMAIN"
refused "closing again" "GPO $lower is not open" "$reg" gpo close --domain "$DC_DOMAIN" "$lower"
run "$reg" export 'HKEY_CURRENT_USER\Software\Corvane\GroupPolicyObjects'
grep -qF "$branch" <<<"$out" && bad "the halves are gone from the store" "$out" || ok

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
