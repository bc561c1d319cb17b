#!/usr/bin/env bash
# Only util/src/platform/ may talk to the operating system. Fails when code
# elsewhere includes an OS header, tests for the platform with #ifdef, or
# calls an OS interface directly. A line may opt out with a comment
# "os-boundary: allow <reason>", a whole file with "os-boundary: allow-file".
set -u
cd "$(dirname "$0")/.."

headers='windows\.h|winsock2?\.h|ws2tcpip\.h|mswsock\.h|shlobj\.h|direct\.h|io\.h|process\.h|unistd\.h|pthread\.h|dirent\.h|fcntl\.h|fnmatch\.h|netdb\.h|sys/[a-z_]+\.h|netinet/[a-z_]+\.h|arpa/inet\.h|linux/[a-z_]+\.h'
calls='\b(epoll_[a-z_]+|eventfd|timerfd_[a-z_]+|pthread_[a-z_]+|WSA[A-Z][A-Za-z]*|closesocket|CreateThread|_beginthreadex|GetLastError|CreateFileA?|FindFirstFileA?|readlink|getpid|gettid|syscall|mkdir|rmdir|unlink)\s*\('
platform='^\s*#\s*if(def|ndef)?\b.*\b(_WIN32|_WIN64|__linux__|__unix__|__APPLE__|_MSC_VER|__MINGW32__)\b'

files=$(git ls-files --cached --others --exclude-standard -- app util bench tests 2>/dev/null | grep -E '\.(c|cc|cpp|h|hpp)$' | grep -v '^util/src/platform/' || true)
[ -n "$files" ] || exit 0

# A file that must talk to the system directly (a benchmark's raw
# baseline) says "os-boundary: allow-file" once.
files=$(for f in $files; do grep -q 'os-boundary: allow-file' "$f" || echo "$f"; done)
# String literals are blanked first: a log text may name a system call.
hits=$(for f in $files; do
  sed -E 's/"([^"\\]|\\.)*"/""/g' "$f" | grep -nE "#\s*include\s*<($headers)>|$calls|$platform" | grep -v 'os-boundary: allow' | sed "s|^|$f:|"
done)
if [ -n "$hits" ]; then
  echo "check-os-boundary: operating-system use outside util/src/platform/:"
  echo "$hits"
  exit 1
fi
echo "check-os-boundary: ok ($(echo "$files" | wc -l) files)"
