#!/usr/bin/env bash
# Prints the path of a working CPython of the version given (default 3.12),
# or fails with a clear message.
#
#   tools/find-python.sh [3.10|3.11|3.12|3.13]
#
# A bare "python3.X" may be a pyenv shim that answers "command not found"
# when pyenv's default version is another one, so each candidate is run.
set -u
supported="3.10 3.11 3.12 3.13"
want=${1:-3.12}
case " $supported " in
  *" $want "*) ;;
  *) echo "error: velkstore supports CPython $supported, not '$want'" >&2; exit 2 ;;
esac
candidates=("python$want")
if command -v pyenv >/dev/null 2>&1; then
  for p in "$(pyenv root)"/versions/"$want".*/bin/python"$want"; do candidates+=("$p"); done
fi
for p in "${HOME:-/root}"/.pyenv/versions/"$want".*/bin/python"$want" /usr/bin/python"$want" \
         /usr/local/bin/python"$want"; do
  candidates+=("$p")
done
for p in "${candidates[@]}"; do
  if out=$("$p" -c 'import sys; v = "%d.%d" % sys.version_info[:2]
print(sys.executable) if v == sys.argv[1] else sys.exit(1)' "$want" 2>/dev/null); then
    echo "$out"
    exit 0
  fi
done
echo "error: no Python $want found (tried python$want and pyenv's versions/$want.*); install CPython $want with its headers" >&2
exit 1
