#!/bin/sh
# kesto-fw's help for help2man: the program's own help, then each command's,
# and the exit statuses once at the end.
#   kesto-fw-help.sh KESTO-FW --help|--version
fw=$1
shift
[ "$1" = --version ] && exec "$fw" --version
"$fw" --help | sed '/^Exit status:/,$d'
for command in interfaces search write firewall; do
  printf '\nThe %s command:\n\n' "$command"
  "$fw" "$command" --help | sed '/^Exit status:/,$d; 1s/$/\n/'
done
"$fw" --help | sed -n '/^Exit status:/,$p'
