# Sourced by the scripts of this folder: install_missing <debian packages...>
# installs the packages that are not installed yet (as root, or through
# sudo) and fails when apt does.
install_missing() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  echo "== installing: ${missing[*]}"
  $sudo apt-get update -q && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# What building the service needs (libkrb5-dev: GSSAPI for the NTLM client)
# and what its NTLM client runs on (gss-ntlmssp).
RT_BUILD_PACKAGES=(cmake ninja-build g++ ccache nlohmann-json3-dev libkrb5-dev gss-ntlmssp)
