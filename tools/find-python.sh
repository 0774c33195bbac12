#!/usr/bin/env bash
# Prints the path of a working python3.12, or fails with a clear message.
# A bare "python3.12" may be a pyenv shim that answers "command not found"
# when pyenv's default version is another one, so each candidate is run.
set -u
candidates=(python3.12)
if command -v pyenv >/dev/null 2>&1; then
  for p in "$(pyenv root)"/versions/3.12*/bin/python3.12; do candidates+=("$p"); done
fi
for p in "${HOME:-/root}"/.pyenv/versions/3.12*/bin/python3.12 /usr/bin/python3.12 /usr/local/bin/python3.12; do
  candidates+=("$p")
done
for p in "${candidates[@]}"; do
  if out=$("$p" -c 'import sys; print(sys.executable) if sys.version_info[:2] == (3, 12) else sys.exit(1)' 2>/dev/null); then
    echo "$out"
    exit 0
  fi
done
echo "error: no Python 3.12 found (tried python3.12 and pyenv's versions/3.12*); install CPython 3.12 with its headers" >&2
exit 1
