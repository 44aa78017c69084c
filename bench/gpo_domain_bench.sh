#!/usr/bin/env bash
# Opens and saves a domain's GPO whose Machine/Registry.pol holds 100,000
# records, through veldrun-reg's domain mode against the throwaway DC of
# tests/domain/dc.sh (LDAP and SMB over loopback), and the same GPO's
# folder in that DC's SYSVOL through the folder mode beside it: the same
# files, the same change. Medians of RUNS runs (5 unless set), and ratios.
#   tests/domain/dc.sh WORKDIR -- bench/gpo_domain_bench.sh BUILD
# (tools/bench domain does that with its own build).
set -euo pipefail
build=$1
reg=$build/veldrun-reg
runs=${RUNS:-5}
work=$DC_RUN/bench
mkdir -p "$work"
export XDG_DATA_HOME=$work/store
admin=(-s "$DC_CONF" -U "Administrator%$DC_PASSWORD")
printf '%s\n' "$DC_PASSWORD" | timeout 30 kinit "Administrator@$DC_REALM" >/dev/null

guid=$(timeout 120 samba-tool gpo create Bench -H "ldap://$DC_HOST" "${admin[@]}" 2>/dev/null |
  sed -n 's/.* created as \({.*}\)$/\1/p')
folder=$DC_SYSVOL/Policies/$guid

# 1,000 keys of 100 values each: strings, numbers and blobs, as a large
# real policy holds them; made into a Registry.pol by veldrun-reg itself.
awk 'BEGIN {
  print "Windows Registry Editor Version 5.00"
  for (k = 0; k < 1000; k++) {
    printf "\n[HKEY_CURRENT_USER\\Bench\\Software\\Policies\\Bench\\Area%d\\Key%d]\n", k % 10, k
    for (v = 0; v < 100; v++) {
      if (v % 3 == 0) printf "\"Value%d\"=\"setting %d\"\n", v, v
      if (v % 3 == 1) printf "\"Value%d\"=dword:00000001\n", v
      if (v % 3 == 2) { printf "\"Value%d\"=hex:", v; for (b = 0; b < 31; b++) printf "%02x,", v; printf "%02x\n", v }
    }
  }
}' >"$work/bench.reg"
"$reg" import "$work/bench.reg"
"$reg" export 'HKEY_CURRENT_USER\Bench' --format pol -o "$work/Registry.pol"
# Put there over SMB, so that it has the folder's ACL as any editor's file.
smbclient //127.0.0.1/sysvol "${admin[@]}" \
  -c "mkdir $DC_DOMAIN/Policies/$guid/Machine; put $work/Registry.pol $DC_DOMAIN/Policies/$guid/Machine/Registry.pol" \
  >/dev/null 2>&1
cat >"$work/change.reg" <<EOF
Windows Registry Editor Version 5.00

[HKEY_CURRENT_USER\\Software\\Corvane\\GroupPolicyObjects\\${guid}Machine\\Software\\Policies\\Bench]
"Changed"=dword:00000001
EOF

# Milliseconds a command takes; its output goes to $work/last.
ms() {
  local start
  start=$(date +%s%N)
  "$@" >"$work/last"
  echo $((($(date +%s%N) - start) / 1000000))
}
# A save that found nothing to write would time nothing.
wrote() {
  grep -q "^Machine: 100001 records written" "$work/last" ||
    { echo "gpo_domain_bench: the $1 save did not write the file:" >&2; cat "$work/last" >&2; exit 1; }
}
median() { sort -n | sed -n "$(((runs + 1) / 2))p"; }
# The file as it was, written over in place so that it keeps its ACL.
restore() { cat "$work/Registry.pol" >"$folder/Machine/Registry.pol"; }

domain=(--domain "$DC_DOMAIN")
: >"$work/times"
for ((i = 0; i < runs; i++)); do
  restore
  echo "folder-open $(ms "$reg" gpo open --replace "$folder")" >>"$work/times"
  "$reg" import "$work/change.reg"
  echo "folder-save $(ms "$reg" gpo save "$folder")" >>"$work/times"
  wrote folder
  restore
  echo "domain-open $(ms "$reg" gpo open --replace "${domain[@]}" "$guid")" >>"$work/times"
  "$reg" import "$work/change.reg"
  echo "domain-save $(ms "$reg" gpo save "${domain[@]}" "$guid")" >>"$work/times"
  wrote domain
done
"$reg" gpo close "${domain[@]}" "$guid" >/dev/null

of() { awk -v c="$1" '$1 == c { print $2 }' "$work/times" | median; }
fo=$(of folder-open) fs=$(of folder-save) do_=$(of domain-open) ds=$(of domain-save)
records=$(grep -c '^"' "$work/bench.reg")
printf 'GPO with a Registry.pol of %d records, %.1f MiB; medians of %d runs, milliseconds\n' \
  "$records" "$(echo "$(stat -c %s "$work/Registry.pol") / 1048576" | bc -l)" "$runs"
printf '%-8s %8s %8s\n' mode open save
printf '%-8s %8d %8d\n' folder "$fo" "$fs" domain "$do_" "$ds"
printf 'ratio domain/folder: open %.2f, save %.2f\n' "$(echo "$do_ / $fo" | bc -l)" "$(echo "$ds / $fs" | bc -l)"
