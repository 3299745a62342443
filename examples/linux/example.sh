#!/bin/sh
# The example application's Linux twin, for veskar-pack --target linux: it
# prints what the Windows program prints (its path, its arguments, the two
# launcher variables, the files beside it, the greeting) and ends with the
# code given by --exit N. Pack it with the data of examples/app beside it.
here=$(cd "$(dirname "$0")" && pwd)
echo "Veskar example: hello from $here/$(basename "$0")"
echo "arguments $#"
i=0
code=0
want_exit=
for arg in "$@"; do
  i=$((i + 1))
  echo "argument $i [$arg]"
  if [ -n "$want_exit" ]; then code=$arg; want_exit=; fi
  [ "$arg" = "--exit" ] && want_exit=1
done
echo "VESKAR_ONEFILE_PARENT=${VESKAR_ONEFILE_PARENT-(not set)}"
echo "VESKAR_ONEFILE_BINARY=${VESKAR_ONEFILE_BINARY-(not set)}"
(cd "$here" && find . -type f | sed 's|^\./||' | sort | while read -r f; do
  echo "file $f $(wc -c < "$f" | tr -d ' ')"
done)
echo "greeting $(head -n 1 "$here/data/greeting.txt" | tr -d '\r')"
echo "exit $code"
exit "$code"
