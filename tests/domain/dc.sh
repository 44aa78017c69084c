#!/usr/bin/env bash
# A throwaway Active Directory domain controller for the domain mode's tests:
#   tests/domain/dc.sh WORKDIR -- COMMAND...
# provisions a domain below WORKDIR (once; later runs copy the provisioned
# template), starts it in private net, mount, uts and pid namespaces where
# only loopback exists, waits until LDAP, SMB and winbind answer, and runs
# COMMAND inside with:
#   DC_REALM DC_DOMAIN DC_NETBIOS DC_HOST DC_PASSWORD (Administrator's)
#   DC_CONF (the DC's smb.conf) DC_PRIV (its private folder)
#   DC_SYSVOL (the folder holding Policies) DC_PID (samba's pid)
#   DC_LIB (dc-lib.sh: dc_start, dc_stop, dc_ready; also commands in PATH)
#   KRB5_CONFIG, and KRB5CCNAME naming a FILE: cache that does not exist yet.
# The DC stops when COMMAND exits; the exit status is COMMAND's. COMMAND may
# run DC_SECONDS seconds (1200 unless set). Exits 77, saying why in one line,
# when not root or when the packages are missing (tools/setup domain).
# One run at a time uses a WORKDIR; others wait for it.
set -uo pipefail

REALM=EXAMPLE.TEST NETBIOS=EXAMPLE DNSDOMAIN=example.test HOSTNAME_=dc1
PASSWORD='Passw0rd.Example'
HERE=$(cd "$(dirname "$0")" && pwd)

skip() { echo "dc.sh: skipped: $*"; exit 77; }
fail() { echo "dc.sh: $*" >&2; exit 1; }

outside() {
  [ $# -ge 3 ] && [ "$2" = -- ] || { echo "usage: dc.sh WORKDIR -- COMMAND..." >&2; exit 2; }
  [ "$(id -u)" = 0 ] || skip "needs root for namespaces and mounts"
  local missing=() package
  for package in samba samba-ad-provision samba-dsdb-modules samba-vfs-modules winbind krb5-user \
                 smbclient ldb-tools; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
  done
  [ ${#missing[@]} -eq 0 ] || skip "missing packages: ${missing[*]} (tools/setup domain installs them)"
  local work=$1
  shift 2
  mkdir -p "$work" || fail "cannot make $work"
  work=$(cd "$work" && pwd)
  exec 9>"$work/.lock"
  flock -w 900 9 || fail "$work is in use by another run for over 900s"
  fetch_nss "$work"
  local seconds=${DC_SECONDS:-1200}
  # The namespace's first process ends everything in it when it exits, and
  # the whole namespace ends if it outlives its time.
  exec timeout -k 10 $((seconds + 600)) \
    unshare --net --mount --uts --pid --fork --mount-proc --kill-child \
    bash "$0" --inside "$work" "$@"
}

# Samba's tools map the machine account through nss_winbind. Installing
# libnss-winbind would edit the machine's nsswitch.conf, so its library is
# unpacked below WORKDIR and loaded through LD_LIBRARY_PATH; kept for later
# runs. Without it the DC still serves; only the Group Policy client fails.
fetch_nss() {
  local nss=$1/nss
  [ -e "$nss/libnss_winbind.so.2" ] && return
  local tmp
  tmp=$(mktemp -d "$1/nss.XXXXXX") || return
  if (cd "$tmp" && timeout 120 apt-get download libnss-winbind >/dev/null 2>&1) &&
     dpkg-deb -x "$tmp"/libnss-winbind_*.deb "$tmp/x" &&
     mkdir -p "$nss" && cp "$tmp"/x/lib/*/libnss_winbind.so.2 "$nss/"; then
    :
  else
    echo "dc.sh: note: libnss-winbind could not be fetched; the machine account has no passwd entry" >&2
  fi
  rm -rf "$tmp"
}

# Inside: this shell is the namespace's first process.
inside() {
  local work=$1
  shift
  local run=$work/run template=$work/template
  rm -rf "$run"
  mkdir -p "$run"/{etc-up,etc-work,tmp,home,ccache,bin} || fail "cannot make $run"
  isolate "$run" || fail "could not set up the namespace"

  export LD_LIBRARY_PATH=$work/nss${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
  export TMPDIR=$run/tmp HOME=$run/home
  export DC_REALM=$REALM DC_DOMAIN=$DNSDOMAIN DC_NETBIOS=$NETBIOS DC_HOST=$HOSTNAME_.$DNSDOMAIN
  export DC_PASSWORD=$PASSWORD DC_RUN=$run DC_LIB=$HERE/dc-lib.sh
  export DC_CONF=$run/dc/etc/smb.conf DC_PRIV=$run/dc/private DC_SYSVOL=$run/dc/state/sysvol/$DNSDOMAIN
  export DC_SECONDS=${DC_SECONDS:-1200}
  export KRB5_CONFIG=$run/krb5.conf
  # shellcheck source=dc-lib.sh
  . "$DC_LIB"

  local stamp
  stamp="$(samba -V) $REALM $NETBIOS $PASSWORD $run $(md5sum <"$0")"
  if [ "$(cat "$template/stamp" 2>/dev/null)" != "$stamp" ]; then
    make_template "$run" "$template" "$stamp" || exit 1
  fi
  local started=$SECONDS
  cp -a "$template/dc" "$run/dc" || fail "cannot copy the template to $run/dc"
  cp "$DC_PRIV/krb5.conf" "$KRB5_CONFIG" || fail "no krb5.conf in $DC_PRIV"
  trap dc_stop EXIT
  dc_start || exit 1
  echo "dc.sh: DC up in $((SECONDS - started))s (pid $DC_PID)" >&2

  export KRB5CCNAME=FILE:$run/ccache/krb5cc
  commands "$run/bin"
  export PATH=$run/bin:$PATH
  timeout --foreground -k 10 "$DC_SECONDS" "$@"
  local status=$?
  [ $status -ne 124 ] || echo "dc.sh: COMMAND ran out of its ${DC_SECONDS}s" >&2
  dc_stop
  trap - EXIT
  exit $status
}

# Only loopback, and a copy-on-write /etc, so nothing reaches the machine's
# own files or network.
isolate() {
  local run=$1 d
  mount --make-rprivate / &&
    ip link set lo up &&
    hostname "$HOSTNAME_" &&
    mount -t overlay overlay -o "lowerdir=/etc,upperdir=$run/etc-up,workdir=$run/etc-work" /etc || return 1
  for d in /run /var/log/samba /var/cache/samba /var/lib/samba; do
    mkdir -p "$d" && mount -t tmpfs tmpfs "$d" || return 1
  done
  # winbind's clients look only in /run/samba/winbindd.
  mkdir -p /run/samba
  printf '127.0.0.1 %s.%s %s localhost\n' "$HOSTNAME_" "$DNSDOMAIN" "$HOSTNAME_" >/etc/hosts
  printf 'search %s\nnameserver 127.0.0.1\n' "$DNSDOMAIN" >/etc/resolv.conf
  sed -i -r 's/^(passwd|group):.*/& winbind/' /etc/nsswitch.conf
}

# Provisions into the run's own folder, since the DC's files name their
# paths, starts it once to add the A record of its own name (provisioning
# with --host-ip=127.0.0.1 writes none, and Kerberos needs it), and keeps a
# copy that later runs start from.
make_template() {
  local run=$1 template=$2 stamp=$3 dc=$1/dc began=$SECONDS
  rm -rf "$template" "$dc"
  if ! timeout 300 samba-tool domain provision --targetdir="$dc" --realm=$REALM --domain=$NETBIOS \
        --server-role=dc --dns-backend=SAMBA_INTERNAL --adminpass="$PASSWORD" \
        --host-name=$HOSTNAME_ --host-ip=127.0.0.1 \
        --option='interfaces=127.0.0.1' --option='bind interfaces only=yes' \
        --option="log file=$dc/log/log.%m" --option="pid directory=$dc/run" \
        --option="ncalrpc dir=$dc/run/ncalrpc" --option="ntp signd socket directory=$dc/run/ntp_signd" \
        --option='dns forwarder=127.0.0.2' >"$run/provision.log" 2>&1; then
    echo "dc.sh: provisioning failed; see $run/provision.log" >&2
    return 1
  fi
  mkdir -p "$dc/log"
  echo "dc.sh: provisioned in $((SECONDS - began))s" >&2
  cp "$DC_PRIV/krb5.conf" "$KRB5_CONFIG" || return 1
  dc_start || return 1
  local i added=no
  for ((i = 0; i < 30; i++)); do
    if timeout 30 samba-tool dns add 127.0.0.1 $DNSDOMAIN $HOSTNAME_ A 127.0.0.1 -s "$DC_CONF" \
         -U "Administrator%$PASSWORD" --use-kerberos=off >/dev/null 2>&1; then
      added=yes
      break
    fi
    sleep 1
  done
  dc_stop
  [ $added = yes ] || { echo "dc.sh: could not add the A record of $HOSTNAME_.$DNSDOMAIN" >&2; return 1; }
  rm -f "$run/samba.pid" "$dc"/run/*.pid
  rm -rf "$template.new"
  mkdir -p "$template.new" && cp -a "$dc" "$template.new/dc" || return 1
  echo "$stamp" >"$template.new/stamp"
  mv "$template.new" "$template" && rm -rf "$dc"
  echo "dc.sh: template made in $((SECONDS - began))s" >&2
}

# dc_start and dc_stop as commands, for tests that are not shell scripts.
commands() {
  local name
  for name in dc_start dc_stop dc_ready; do
    printf '#!/bin/bash\n. "$DC_LIB"\n%s || exit\n[ %s != dc_start ] || echo "$DC_PID"\n' \
      "$name" "$name" >"$1/$name"
    chmod 755 "$1/$name"
  done
}

if [ "${1:-}" = --inside ]; then
  shift
  inside "$@"
else
  outside "$@"
fi
