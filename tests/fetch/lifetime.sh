# Sourced by tests/fetch/run: the fleet over months of operation.  HTTPS
# that fails, a key rotation, the export's directory lost, channels, signed
# times and sizes out of bounds, drift, and runs killed at random moments.

resign() {  # KEY [sed expressions...]: the published manifest edited, signed anew
  local key=$1 was
  shift
  was=$(stat -c %Y "$pub/manifest")
  sed -i "$@" "$pub/manifest"
  # A later time than the manifest it replaces: nginx's ETag is time and
  # size, and an edit of the same size within the same second looks unchanged.
  touch -d "@$((was + 1))" "$pub/manifest"
  openssl pkeyutl -sign -inkey "$key" -rawin -in "$pub/manifest" -out "$pub/manifest.sig"
}
no_leftovers() {  # HOST: no temporary file of any run in its directories
  [ -z "$(find "$T/hosts/$1" -name '.*.tmp-*' -o -name '*.link')" ]
}

# --- HTTPS: only the configured CA, never a redirect to plain HTTP, a
# redirect within HTTPS followed, a body larger than any manifest cut off.
printf '[fetch]\nurl = %s\n' "$url" >"$T/nostore.conf"
refused "a server certificate from another CA (a man in the middle)" a 2 "https://127.0.0.1:$mitm_port"
refused "the test's CA not configured (the system's store)" a 2 --config "$T/nostore.conf"
refused "a redirect from HTTPS to plain HTTP" a 2 "$url/clear/"
refused "an endless manifest" a 2 "$url/endless/"
s=0
fetch a "$url/moved/" >"$T/out" 2>&1 || s=$?
[ "$s" = 0 ] && grep -q "is current" "$T/out" && pass "a redirect within HTTPS is followed" ||
  fail "redirect within HTTPS: exit $s: $(cat "$T/out")"

# --- Key rotation: the hosts trust the new key beside the old one, the
# export switches to it, the old key is removed; no host fails meanwhile.
openssl genpkey -algorithm ed25519 -out "$T/key2.pem" 2>/dev/null
openssl pkey -in "$T/key2.pem" -pubout -out "$T/pub2.pem"
cat "$T/pub.pem" "$T/pub2.pem" >"$T/trusted.pem"
mkdir "$T/keys" && cp "$T/pub2.pem" "$T/keys/new.pem"
rotation=ok
fetch a --public-key "$T/trusted.pem" >"$T/out" 2>&1 || rotation="both keys, old signature: $(cat "$T/out")"
publish 15 --key "$T/key2.pem"
grep -q "^key $(openssl pkey -pubin -in "$T/pub2.pem" -outform DER | tail -c 32 | sha256sum | cut -c1-16)$" "$pub/manifest" ||
  rotation="the manifest does not name the new key: $(grep '^key' "$pub/manifest")"
fetch a --public-key "$T/trusted.pem" >"$T/out" 2>&1 && same_as_export a ||
  rotation="both keys, new signature: $(cat "$T/out")"
publish 16 --key "$T/key2.pem"
fetch a --public-key "$T/pub2.pem" >"$T/out" 2>&1 && same_as_export a ||
  rotation="new key only: $(cat "$T/out")"
publish 17 --key "$T/key2.pem"
fetch a --public-key "$T/keys" >"$T/out" 2>&1 && same_as_export a ||
  rotation="a directory of keys: $(cat "$T/out")"
[ "$rotation" = ok ] && pass "key rotation: both keys, the export switches, the old key removed" ||
  fail "key rotation: $rotation"
refused "a host that still trusts only the old key" b 2
save rotated
resign "$T/key2.pem" -e "s/^key .*/key 0123456789abcdef/"
refused "a manifest naming another key than the one that signed it" a 2 --public-key "$T/trusted.pem"
restore rotated

# --- Signed, yet out of bounds: a time ahead of the clock, sizes beyond any
# map; fetch refuses before it allocates or writes anything.
next=$(($(pubgen) + 1))
resign "$T/key2.pem" -e "s/^generation .*/generation $next/" \
  -e "s/^created .*/created $(date -u -d '+1 hour' +%Y-%m-%dT%H:%M:%SZ)/"
refused "a manifest made an hour ahead of the host's clock" a 2 --public-key "$T/pub2.pem"
restore rotated
resign "$T/key2.pem" -e "s/^generation .*/generation $next/" \
  -e 's/^map passwd size [0-9]*/map passwd size 9223372036854775808/'
refused "a signed size of 2^63 bytes" a 2 --public-key "$T/pub2.pem"
restore rotated
publish 18 --key "$T/key2.pem"
printf '[fetch]\nurl = %s\ntls_ca_file = %s\nmax_map_size = 1K\n' "$url" "$T/ca.pem" >"$T/small.conf"
refused "a map larger than max_map_size" a 2 --public-key "$T/pub2.pem" --config "$T/small.conf"
fetch a --public-key "$T/pub2.pem" >/dev/null 2>&1 || fail "host a after the bounds"

# --- Channels: one key signs staging and production; a production host
# refuses staging's manifest, a staging host takes it.
mkdir -p "$T/stexp" && sed 's/:user 1:/:staging 1:/' "$exp/passwd" >"$T/stexp/passwd"
cp "$exp/group" "$T/stexp/group"
"$vi" publish "$T/staging" --passwd "$T/stexp/passwd" --group "$T/stexp/group" --key "$T/key2.pem" \
  --channel staging >/dev/null
refused "staging's manifest served to a production host" a 2 "$url/staging/" --public-key "$T/pub2.pem"
host st
if fetch st "$url/staging/" --public-key "$T/pub2.pem" --channel staging >"$T/out" 2>&1 &&
  cmp -s "$T/hosts/st/etc/passwd.vesk" "$T/stexp/passwd"; then
  pass "a staging host takes staging's manifest"
else fail "staging host: $(cat "$T/out")"; fi

# --- Freshness is the signed time: a mirror that answers "not modified"
# does not keep an old generation healthy.
sleep 2
s=0
fetch a --public-key "$T/pub2.pem" >"$T/out" 2>&1 || s=$?
st a --max-age 1 >"$T/status" || s2=$?
if [ "$s" = 0 ] && grep -q "not modified" "$T/hosts/a/state/fetch.state" && [ "${s2:-0}" = 1 ] &&
  grep -q "stale: the maps installed were made at" "$T/status"; then
  pass "status: stale by the manifest's signed time, although the last poll succeeded"
else fail "freshness: fetch $s: $(cat "$T/out"); status ${s2:-0}: $(cat "$T/status")"; fi

# --- The export's directory lost: publish starts again from nothing, and
# every host takes the next generation without any action.
before=$(pubgen)
rm -rf "${pub:?}"/*
publish 19 --key "$T/key2.pem"
lost=ok
[ "$(pubgen)" -gt "$before" ] || lost="generation $(pubgen) after $before"
for h in a m1 m2; do
  fetch "$h" --public-key "$T/trusted.pem" >"$T/out" 2>&1 && same_as_export "$h" ||
    lost="host $h: $(cat "$T/out")"
done
[ "$lost" = ok ] && pass "the export's directory lost: hosts take the next generation" ||
  fail "recovery: $lost"

# --- Drift: a local install over the fetched map, a map deleted, a set
# mixed from two generations.  status notices, the next fetch (even one
# answered "not modified") reinstalls the generation, check is clean.
drift_case() {  # DESCRIPTION: the host a's files were just changed
  local s=0 s2=0
  st a >"$T/status" || s2=$?
  fetch a --public-key "$T/pub2.pem" >"$T/out" 2>&1 || s=$?
  if [ "$s2" = 1 ] && grep -q "drift:" "$T/status" && [ "$s" = 3 ] && grep -q "drift:" "$T/out" &&
    same_as_export a && st a >/dev/null; then
    pass "drift, $1: status tells, fetch reinstalls"
  else fail "drift, $1: status $s2: $(cat "$T/status"); fetch $s: $(cat "$T/out")"; fi
}
ha=$T/hosts/a/etc
head -n 1500 "$exp/passwd" >"$ha/passwd.vesk.new"
"$vi" install --passwd "$ha/passwd.vesk" --group "$ha/group.vesk" --config "$T/empty.conf" >/dev/null 2>&1
drift_case "a local install"
rm "$ha/group.vesk"
drift_case "a deleted map"
cp -a "$ha" "$T/old-etc"
publish 20 --key "$T/key2.pem"
printf 'fleetnew:x:20002:fu00004\n' >>"$exp/group"
"$vi" publish "$pub" --passwd "$exp/passwd" --group "$exp/group" --key "$T/key2.pem" >/dev/null
fetch a --public-key "$T/pub2.pem" >/dev/null 2>&1 || fail "host a, generation 21"
cp -a "$T/old-etc/group.vesk" "$T/old-etc/group.vesk.ixgid" "$ha/"
drift_case "a set mixed from two generations"

# --- Runs killed at random moments, by SIGKILL or SIGTERM: the next run
# leaves no temporary file and a consistent set of the generation published.
host k
fetch k --public-key "$T/pub2.pem" >/dev/null 2>&1 || fail "host k: first fetch"
killed=ok
for i in 1 2 3 4 5 6 7 8; do
  publish $((30 + i)) --key "$T/key2.pem"
  fetch k --public-key "$T/pub2.pem" >/dev/null 2>&1 &
  pid=$!
  sleep "0.0$((RANDOM % 8))"
  kill "-$([ $((i % 2)) = 0 ] && echo KILL || echo TERM)" "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  s=0
  fetch k --public-key "$T/pub2.pem" >"$T/out" 2>&1 || s=$?
  if { [ "$s" != 0 ] && [ "$s" != 3 ]; } || ! same_as_export k || ! no_leftovers k; then
    killed="round $i: exit $s: $(cat "$T/out"); leftovers: $(find "$T/hosts/k" -name '.*.tmp-*')"
    break
  fi
done
[ "$killed" = ok ] && pass "fetch killed at random moments: the next run restores a consistent set" ||
  fail "killed fetch: $killed"
