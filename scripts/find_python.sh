# Sourced by the project's scripts: find_pythons prints every interpreter of
# version 3.12 or later on this machine, best first, one path per line.
find_pythons() {
  local candidates=()
  if [ -n "${VYR_PYTHON:-}" ]; then
    candidates+=("$VYR_PYTHON")
  fi
  if command -v pyenv >/dev/null 2>&1; then
    local root
    root=$(pyenv root)
    candidates+=("$root"/versions/3.12.*/bin/python3 "$root"/versions/3.13.*/bin/python3)
  elif [ -d "$HOME/.pyenv/versions" ]; then
    candidates+=("$HOME"/.pyenv/versions/3.12.*/bin/python3 "$HOME"/.pyenv/versions/3.13.*/bin/python3)
  fi
  candidates+=(/usr/bin/python3.12 /usr/bin/python3.13 /usr/local/bin/python3.12
               /usr/local/bin/python3.13 python3.12 python3.13 python3)
  local seen="" candidate resolved
  for candidate in "${candidates[@]}"; do
    resolved=$(command -v "$candidate" 2>/dev/null) || continue
    [ -x "$resolved" ] || continue
    # A pyenv shim for an unselected version fails here, and is skipped.
    "$resolved" -c 'import sys, venv; sys.exit(sys.version_info < (3, 12))' 2>/dev/null || continue
    local version
    version=$("$resolved" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
    case " $seen " in *" $version "*) continue ;; esac
    seen="$seen $version"
    echo "$resolved"
  done
}

first_python() {
  local found
  found=$(find_pythons | head -n 1)
  if [ -z "$found" ]; then
    echo "error: no Python 3.12 or later found (tried pyenv versions, python3.12, python3.13," \
         "python3); install one or set VYR_PYTHON to its path" >&2
    return 1
  fi
  echo "$found"
}

# pick_python [PYTHON]: PYTHON if it is a working Python 3.12 or later (an error
# otherwise), else the best interpreter on this machine.
pick_python() {
  if [ -n "${1:-}" ]; then
    if ! "$1" -c 'import sys, venv; sys.exit(sys.version_info < (3, 12))' 2>/dev/null; then
      echo "error: $1 is not a working Python 3.12 or later" >&2
      return 1
    fi
    echo "$1"
  else
    first_python
  fi
}
