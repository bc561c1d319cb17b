#!/usr/bin/env bash
# Checks in a real browser that a web page can load the service with a
# <script> tag, the way customers' pages use it.
#   tests/browser/jsonp_check.sh [service-url]   (default http://127.0.0.1:5161/)
# The service must already be running: this script only looks at it, so the
# same check works against any build that listens on that URL.
# Serves index.html from 127.0.0.1 on a free port (Chromium lets a loopback
# page reach a loopback service without asking the user), dumps the DOM
# after load with headless Chromium and reads the page's verdict from it.
# Prints one "browser check: ..." line; exits 0 when OK, 1 when not.
# CHROMIUM overrides the browser (default /usr/bin/chromium).
set -uo pipefail

service=${1:-http://127.0.0.1:5161/}
here=$(cd "$(dirname "$0")" && pwd)
chromium=${CHROMIUM:-/usr/bin/chromium}

fail() {
    echo "browser check: FAILED: $*"
    exit 1
}

case "$service" in
    http://* | https://*) ;;
    *) echo "usage: $0 [http://host:port/path]" >&2; exit 2 ;;
esac
[ -x "$chromium" ] || fail "no browser at $chromium"
command -v python3 >/dev/null || fail "python3 is needed for the page server"

work=$(mktemp -d "${TMPDIR:-/tmp}/zv-browser.XXXXXX") || fail "mktemp"
server_pid=""
browser_pid=""
# shellcheck disable=SC2317  # runs from the EXIT trap
cleanup() {
    # The browser first: it may still hold files in the profile.
    [ -n "$browser_pid" ] && kill "$browser_pid" 2>/dev/null && wait "$browser_pid" 2>/dev/null
    [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

mkdir -p "$work/www" "$work/profile" "$work/home"
cp "$here/index.html" "$work/www/index.html" || fail "cannot copy index.html"

# Port 0 lets the kernel pick a free port, so parallel runs never collide;
# the file is renamed into place so that a reader never sees half a number.
python3 -c '
import functools, http.server, os, sys
www, port_file = sys.argv[1], sys.argv[2]
class Handler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, *args):
        pass
server = http.server.ThreadingHTTPServer(
    ("127.0.0.1", 0), functools.partial(Handler, directory=www))
with open(port_file + ".tmp", "w") as f:
    f.write(str(server.server_address[1]))
os.rename(port_file + ".tmp", port_file)
server.serve_forever()
' "$work/www" "$work/port" </dev/null >"$work/server.log" 2>&1 &
server_pid=$!

port=""
for _ in $(seq 100); do
    [ -s "$work/port" ] && { port=$(cat "$work/port"); break; }
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.05
done
[ -n "$port" ] || fail "the page server did not start: $(tail -3 "$work/server.log")"

query=$(python3 -c 'import sys, urllib.parse; print(urllib.parse.quote(sys.argv[1], safe=""))' "$service")
host=$(python3 -c 'import sys, urllib.parse; print(urllib.parse.urlsplit(sys.argv[1]).hostname or "")' "$service")
page="http://127.0.0.1:$port/index.html?service=$query"

# The page gives up on the service after 15 s; --timeout=20000 then stops a
# load that never ends so that the page's verdict is still dumped, and the
# outer timeout covers a browser that hangs in itself.
# Without the network flags Chromium keeps calling home, which fails slowly
# on a closed network. Even with them it still asks for component updates
# and signed-in accounts, so every name but loopback and the service's
# host resolves to "not found" inside the browser: no lookup leaves it.
# HOME and XDG_* point into the temp dir because Chromium writes its crash
# database and dconf cache there even with --user-data-dir.
HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" XDG_CACHE_HOME="$work/home/.cache" \
    timeout -k 5 60 "$chromium" \
    --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --disable-default-apps --disable-extensions --no-default-browser-check \
    --password-store=basic --mute-audio \
    --disable-features=NetworkTimeServiceQuerying \
    --host-resolver-rules="MAP * ~NOTFOUND, EXCLUDE 127.0.0.1, EXCLUDE localhost${host:+, EXCLUDE $host}" \
    --user-data-dir="$work/profile" \
    --timeout=20000 --dump-dom "$page" \
    </dev/null >"$work/dom.html" 2>"$work/browser.log" &
browser_pid=$!
wait "$browser_pid"
browser_rc=$?
browser_pid=""

# The verdict is the text of <pre id="result">; the rest is formatting.
python3 -c '
import html, json, re, sys
dom = open(sys.argv[1], encoding="utf-8", errors="replace").read()
m = re.search(r"<pre id=\"result\">(.*?)</pre>", dom, re.S)
if not m:
    print("FAILED: the page wrote no result")
    sys.exit(1)
text = html.unescape(m.group(1)).strip()
if not text.startswith("OK "):
    print("FAILED: " + (text[len("FAIL: "):] if text.startswith("FAIL: ") else text))
    sys.exit(1)
# "OK <members>[ extra:<members>] <json>"; the page has judged already, so
# a text this cannot take apart is shown as it is.
try:
    head, _, doc = text[3:].partition(" {")
    doc = json.loads("{" + doc)
    members = head.split(" ")[0].split(",")
    extra = head.split(" extra:")[1] if " extra:" in head else ""
    line = "OK, the page saw all %d members: %s" % (
        len(members), ", ".join("%s=%s" % (k, json.dumps(doc[k], ensure_ascii=False)) for k in members))
    if extra:
        line += " (and extra members: %s)" % extra
except (ValueError, KeyError, IndexError):
    line = text
print(line)
' "$work/dom.html" >"$work/verdict" 2>&1
verdict_rc=$?
verdict=$(cat "$work/verdict")

if [ $verdict_rc -eq 0 ]; then
    echo "browser check: $verdict"
    exit 0
fi
echo "browser check: $verdict"
case $browser_rc in
    0) ;;
    124 | 137) echo "  chromium did not finish within 60 s and was killed" ;;
    *) echo "  chromium exit code $browser_rc" ;;
esac
# The D-Bus complaints come from every headless run without a session bus;
# anything else may explain the failure.
noise='dbus/|Failed to connect to the bus|unexpected operator'
if grep -vqE "$noise" "$work/browser.log"; then
    echo "  chromium stderr (D-Bus lines left out):"
    grep -vE "$noise" "$work/browser.log" | tail -15 | sed 's/^/    /'
fi
exit 1
