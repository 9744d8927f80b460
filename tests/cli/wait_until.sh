# Sourced by the end-to-end scripts.
# wait_until SHELL-CONDITION: polls it every 0.1 s until it holds, for at most
# 60 s; a miss ends the test, for what follows would test nothing.
wait_until() {
  local try
  for try in $(seq 600); do eval "$1" && return 0; sleep 0.1; done
  echo "FAILED - waited in vain for: $1"
  exit 1
}
