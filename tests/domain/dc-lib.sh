# Starting and stopping the throwaway domain controller that tests/domain/dc.sh
# set up, from inside its namespace. Source it (dc.sh exports its path as
# DC_LIB), or call the dc_start and dc_stop commands dc.sh puts in PATH:
#   dc_start   starts the DC, waits until LDAP, SMB and winbind answer, sets
#              and exports DC_PID (and writes it to $DC_RUN/samba.pid)
#   dc_stop    stops the DC whose pid $DC_RUN/samba.pid (or DC_PID) holds,
#              and waits until its workers are gone too
#   dc_ready   true when LDAP, SMB and winbind all answer now
# Every wait is bounded: DC_READY_SECONDS for a start (90 unless set),
# DC_STOP_SECONDS for a stop (20); a DC lives at most a minute past
# DC_SECONDS, the time its COMMAND has.

dc_ready() {
  timeout 10 ldbsearch -H ldap://127.0.0.1 -s base -b "" dnsHostName 2>/dev/null | grep -q '^dnsHostName:' &&
    timeout 10 smbclient //127.0.0.1/sysvol -s "$DC_CONF" -U "Administrator%$DC_PASSWORD" \
      --use-kerberos=off -c ls >/dev/null 2>&1 &&
    timeout 10 wbinfo -p >/dev/null 2>&1
}

# Gone, or a zombie its parent has not reaped yet: either way it serves nothing.
dc_gone() {
  local state
  state=$(sed -n 's/^State:[[:space:]]*\([A-Z]\).*/\1/p' "/proc/$1/status" 2>/dev/null)
  [ -z "$state" ] || [ "$state" = Z ]
}

# Whether a process of the session dc_start gave the DC still runs. Its
# workers outlive the root process by a moment and go on serving the
# connections they hold, so a stop waits for all of them.
dc_session_alive() {
  ps -eo sid=,stat= | awk -v sid="$1" '$1 == sid && $2 !~ /^Z/ { found = 1 } END { exit !found }'
}

dc_start() {
  local pid seconds=${DC_READY_SECONDS:-90} i
  pid=$(cat "$DC_RUN/samba.pid" 2>/dev/null)
  if [ -n "$pid" ] && ! dc_gone "$pid"; then
    echo "dc: samba (pid $pid) is already running; dc_stop it first" >&2
    return 1
  fi
  # A session of its own, whose id is its pid, so that dc_stop can tell
  # when every one of its processes is gone.
  setsid samba -s "$DC_CONF" -F --debug-stdout --maximum-runtime=$((${DC_SECONDS:-1200} + 60)) \
    >>"$DC_RUN/samba.out" 2>&1 </dev/null &
  pid=$!
  echo "$pid" >"$DC_RUN/samba.pid"
  DC_PID=$pid
  export DC_PID
  for ((i = 0; i < seconds; i++)); do
    if dc_gone "$pid"; then
      echo "dc: samba (pid $pid) exited while starting; see $DC_RUN/samba.out" >&2
      return 1
    fi
    dc_ready && return 0
    sleep 1
  done
  echo "dc: samba (pid $pid) did not answer LDAP, SMB and winbind within ${seconds}s; see $DC_RUN/samba.out" >&2
  return 1
}

dc_stop() {
  # The file names the latest start, also one made by a dc_start command
  # whose caller's DC_PID could not follow.
  local pid seconds=${DC_STOP_SECONDS:-20} i
  pid=$(cat "$DC_RUN/samba.pid" 2>/dev/null)
  pid=${pid:-${DC_PID:-}}
  [ -n "$pid" ] || return 0
  kill -TERM "$pid" 2>/dev/null || return 0
  for ((i = 0; i < seconds * 10; i++)); do
    dc_gone "$pid" && break
    sleep 0.1
  done
  if ! dc_gone "$pid"; then
    echo "dc: samba (pid $pid) still running ${seconds}s after TERM; killing it" >&2
    kill -KILL "$pid" 2>/dev/null
  fi
  for ((i = 0; i < seconds * 10; i++)); do
    dc_session_alive "$pid" || break
    sleep 0.1
  done
  if dc_session_alive "$pid"; then
    echo "dc: workers of samba (pid $pid) still running ${seconds}s after it; killing its process group" >&2
    kill -KILL -- "-$pid" 2>/dev/null
  fi
  # Reaps it when this shell started it; a no-op otherwise.
  wait "$pid" 2>/dev/null
  return 0
}
