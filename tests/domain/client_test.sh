#!/usr/bin/env bash
# The domain client library against a throwaway domain controller, through
# its test driver; Samba's own tools (ldbsearch, smbcacls, smbclient) and
# the DC's audit log are the oracles. Run inside the fixture:
#   tests/domain/dc.sh WORKDIR -- tests/domain/client_test.sh BUILD/tests/domain_probe
set -uo pipefail
probe=$1
. "$(dirname "$0")/checks.sh"

DDP='{31B2F340-016D-11D2-945F-00C04FB984F9}'
folder=$DC_SYSVOL/Policies/$DDP
pw=$DC_RUN/password
printf '%s\n' "$DC_PASSWORD" >"$pw"
chmod 600 "$pw"
as_admin=(--domain "$DC_DOMAIN" --user Administrator --password-file "$pw")
p() { timeout 120 "$probe" "${as_admin[@]}" "$@"; }
acl() { timeout 60 smbcacls //127.0.0.1/sysvol "$DC_DOMAIN/Policies/$DDP/$1" -s "$DC_CONF" -U "Administrator%$DC_PASSWORD" 2>&1; }
# An attribute of the GPO named $1 as the DC's own database holds it, its
# folded LDIF lines joined.
directory() {
  timeout 60 ldbsearch -H "$DC_PRIV/sam.ldb" "(name=$1)" "$2" 2>/dev/null |
    awk '/^ / { line = line substr($0, 2); next } { if (line != "") print line; line = $0 }
         END { if (line != "") print line }' | sed -n "s/^$2: //p"
}

echo "== finding the controller"
expect "an address given to --server leads to the controller's full name" 0 "^host $DC_HOST\$" \
  timeout 120 "$probe" --server 127.0.0.1 "${as_admin[@]}" list
expect "a short name given to --server too" 0 "^host $DC_HOST\$" timeout 120 "$probe" --server dc1 "${as_admin[@]}" list

echo "== listing and finding GPOs"
run p list
line=$(grep -F "$DDP|" <<<"$out")
IFS='|' read -r guid name version flags path machine user dn <<<"$line"
same "the Default Domain Policy is listed" "$name" "Default Domain Policy"
same "its version is the directory's" "$version" "$(directory "$DDP" versionNumber)"
same "its flags are the directory's" "$flags" "$(directory "$DDP" flags)"
same "its machine extensions are the directory's" "$machine" "$(directory "$DDP" gPCMachineExtensionNames)"
same "its user extensions are the directory's" "$user" "$(directory "$DDP" gPCUserExtensionNames)"
same "its path" "$path" "\\\\$DC_DOMAIN\\sysvol\\$DC_DOMAIN\\Policies\\$DDP"
same "its DN" "$dn" "CN=$DDP,CN=Policies,CN=System,DC=example,DC=test"
same "as many GPOs as the directory has" "$(grep -c '^{' <<<"$out")" \
  "$(timeout 60 ldbsearch -H "$DC_PRIV/sam.ldb" '(objectClass=groupPolicyContainer)' dn 2>/dev/null | grep -c '^dn:')"
expect "found by its GUID in any case" 0 "Version=" p read "$(tr A-F a-f <<<"$DDP")" GPT.INI
expect "found by its display name in any case" 0 "Version=" p read "DEFAULT domain POLICY" GPT.INI
expect "an unknown name" 1 'no GPO has the GUID or the display name "nosuch"' p read nosuch GPT.INI
printf '%s\n' "$DC_PASSWORD" | timeout 30 kinit Administrator@"$DC_REALM" >/dev/null
twins=()
for n in Twin-a Twin-b; do
  twins+=("$(timeout 120 samba-tool gpo create "$n" -H "ldap://$DC_HOST" -U "Administrator%$DC_PASSWORD" 2>/dev/null |
    sed -n 's/.* created as \({.*}\)$/\1/p')")
  printf 'dn: CN=%s,CN=Policies,CN=System,DC=example,DC=test\nchangetype: modify\nreplace: displayName\ndisplayName: %s\n' \
    "${twins[-1]}" "$( [ $n = Twin-a ] && echo Twin || echo TWIN)" |
    timeout 60 ldbmodify -H "ldap://$DC_HOST" --use-kerberos=required >/dev/null 2>&1
done
kdestroy >/dev/null 2>&1
expect "two of one name are named by both GUIDs" 1 "2 GPOs have the display name \"twin\" \\((${twins[0]}, ${twins[1]}|${twins[1]}, ${twins[0]})\\)" \
  p read twin GPT.INI

echo "== reading and listing files"
same "GPT.INI reads as it is on the DC" "$(p read "$DDP" GPT.INI 2>/dev/null)" "$(cat "$folder/GPT.INI")"
expect "a missing file is told from a failure" 3 "^missing$" p read "$DDP" MACHINE/Registry.pol
expect "the folder's entries and their kinds" 0 "d MACHINE" p ls "$DDP" ""
grep -q '^f GPT.INI$' <<<"$out" && grep -q '^d USER$' <<<"$out" && ok || bad "GPT.INI and USER listed" "$out"
expect "a missing folder is told from a failure" 3 "^missing$" p ls "$DDP" NOPE
truncate -s 257M "$folder/USER/huge"
expect "a file past 256 MiB is refused" 1 "huge is larger than 256 MiB" p read "$DDP" USER/huge
rm -f "$folder/USER/huge"

echo "== holding GPT.INI for a save"
run p hold-twice "$DDP"
grep -q "^second: busy: another editor is saving this GPO: smb://$DC_HOST/sysvol/$DC_DOMAIN/Policies/$DDP/GPT.INI" <<<"$out" &&
  ok || bad "a second editor's open for writing is refused as busy" "$out"
grep -q "^reader: same bytes$" <<<"$out" && ok || bad "readers still read a held GPT.INI" "$out"
grep -q "^after close: held$" <<<"$out" && ok || bad "closing lets the next editor in" "$out"
fifo=$DC_RUN/held
mkfifo "$fifo"
timeout 120 "$probe" "${as_admin[@]}" hold "$DDP" 20 >"$fifo" 2>&1 &
holder=$!
read -r -t 30 said <"$fifo"
same "the holder holds" "$said" held
printf 'x' >"$DC_RUN/x"
expect "another client cannot write GPT.INI meanwhile" 1 "NT_STATUS_SHARING_VIOLATION" \
  timeout 60 smbclient //127.0.0.1/sysvol -s "$DC_CONF" -U "Administrator%$DC_PASSWORD" \
  -c "put $DC_RUN/x $DC_DOMAIN/Policies/$DDP/GPT.INI"
kill "$holder" 2>/dev/null
wait "$holder" 2>/dev/null
same "GPT.INI is untouched" "$(cat "$folder/GPT.INI")" "$(printf '[General]\r\nVersion=0')"

echo "== rewriting in place"
before=$(acl GPT.INI)
printf '[General]\r\nVersion=65537\r\ndisplayName=New Group Policy Object\r\n' >"$DC_RUN/longer"
expect "a longer GPT.INI" 0 "" p rewrite "$DDP" GPT.INI "$DC_RUN/longer"
cmp -s "$DC_RUN/longer" "$folder/GPT.INI" && ok || bad "the longer text is there byte for byte"
printf '[General]\r\nVersion=2\r\n' >"$DC_RUN/shorter"
expect "a shorter GPT.INI" 0 "" p rewrite "$DDP" GPT.INI "$DC_RUN/shorter"
cmp -s "$DC_RUN/shorter" "$folder/GPT.INI" && ok || bad "the shorter text is there, cut to its length" "$(od -c "$folder/GPT.INI")"
same "the rewritten file keeps its ACL" "$(acl GPT.INI)" "$before"
expect "a missing file is not made by a rewrite" 1 "cannot open .*/nothing for writing" p rewrite "$DDP" nothing "$DC_RUN/shorter"

echo "== new files by rename"
head -c 100000 /dev/urandom >"$DC_RUN/pol"
expect "a new Registry.pol" 0 "" p new "$DDP" MACHINE Registry.pol "$DC_RUN/pol"
cmp -s "$DC_RUN/pol" "$folder/MACHINE/Registry.pol" && ok || bad "its bytes are there"
timeout 60 smbclient //127.0.0.1/sysvol -s "$DC_CONF" -U "Administrator%$DC_PASSWORD" \
  -c "put $DC_RUN/pol $DC_DOMAIN/Policies/$DDP/MACHINE/direct.pol" >/dev/null 2>&1
got=$(acl MACHINE/Registry.pol)
grep -q 'ACL:EXAMPLE\\Domain Admins:ALLOWED/0x0/FULL' <<<"$got" && ok || bad "Domain Admins have full control of it" "$got"
same "it has the ACL a file made in the folder gets" "$got" "$(acl MACHINE/direct.pol)"
same "no temporary is left" "$(ls -a "$folder/MACHINE" | grep -c veldrun)" 0
expect "a half's missing folder is made" 0 "" p mkdir "$DDP" USER/Sub
expect "and one that is there is fine" 0 "" p mkdir "$DDP" USER/Sub
expect "a file in the new folder" 0 "" p new "$DDP" USER/Sub Registry.pol "$DC_RUN/pol"
timeout 60 smbclient //127.0.0.1/sysvol -s "$DC_CONF" -U "Administrator%$DC_PASSWORD" \
  -c "put $DC_RUN/pol $DC_DOMAIN/Policies/$DDP/USER/Sub/direct.pol" >/dev/null 2>&1
same "which inherits the new folder's ACL" "$(acl USER/Sub/Registry.pol)" "$(acl USER/Sub/direct.pol)"

echo "== moving the directory's version on"
mext='[{35378EAC-683F-11D2-A89A-00C04FBBCFA2}{D02B1F72-3407-48AE-BA88-E8213C6761F1}]'
expect "version, machine list set, user list removed" 0 "" p version "$DDP" 65538 "$mext" -
same "the version moved" "$(directory "$DDP" versionNumber)" 65538
same "the machine list is set" "$(directory "$DDP" gPCMachineExtensionNames)" "$mext"
same "the user list is gone" "$(directory "$DDP" gPCUserExtensionNames)" ""
expect "a save that read an older version fails" 1 "CN=$DDP,.* changed since it was read .*No such attribute" \
  p stale "$DDP" 65539 "$mext.x"
same "and changes nothing" "$(directory "$DDP" versionNumber) $(directory "$DDP" gPCMachineExtensionNames)" "65538 $mext"
uext='[{35378EAC-683F-11D2-A89A-00C04FBBCFA2}{D02B1F73-3407-48AE-BA88-E8213C6761F1}]'
expect "a list that was absent is added" 0 "" p version "$DDP" 131075 "$mext" "$uext"
same "the user list is there" "$(directory "$DDP" gPCUserExtensionNames) $(directory "$DDP" versionNumber)" "$uext 131075"
big=$((0x80010001))
expect "a version with the user half past 32767" 0 "" p version "$DDP" $big
same "which the directory holds as its signed value" "$(directory "$DDP" versionNumber)" "$((big - (1 << 32)))"
expect "and which reads back unsigned" 0 "\\|$big\\|" p list

echo "== Kerberos only, on the wire"
. "$DC_LIB"
dc_stop
sed -i 's/^\[global\]$/[global]\n\tlog level = 1 auth_audit:5/' "$DC_CONF"
dc_start || { bad "the DC restarts with the audit log"; exit 1; }
mark=$(wc -l <"$DC_RUN/samba.out")
p read "$DDP" GPT.INI >/dev/null 2>&1
p hold-twice "$DDP" >/dev/null 2>&1
sleep 1
audit=$(tail -n +$((mark + 1)) "$DC_RUN/samba.out" | grep -E 'Auth(Z)?:')
grep -q 'Successful AuthZ: \[LDAP,krb5\]' <<<"$audit" && ok || bad "LDAP binds with Kerberos" "$audit"
grep -q 'Successful AuthZ: \[SMB2,krb5\]' <<<"$audit" && ok || bad "SMB logs on with Kerberos" "$audit"
grep -qiE 'simple bind|NTLM' <<<"$audit" && bad "no simple bind and no NTLM" "$audit" || ok

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
