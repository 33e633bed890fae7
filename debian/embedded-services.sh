# Without systemd, the services of the embedded service manager run until
# someone stops them. The routines below find those that run a program of
# this package and stop them, the watchdog first (it would start the agent
# again). They use the tarvo-sc that is installed (the old one during an
# upgrade) on the manager's records in /var/lib/tarvo/scm.
tarvo_sc() {
	TARVO_SCM_BACKEND=embedded TARVO_SCM_ROOT=/var/lib/tarvo/scm tarvo-sc "$@"
}

# Prints "program<TAB>pid<TAB>name" for each service whose process runs a
# program of /usr/lib/tarvo, the watchdog's first.
tarvo_running_services() {
	command -v tarvo-sc >/dev/null 2>&1 || return 0
	tarvo_sc query 2>/dev/null |
	awk '/^SERVICE_NAME: /{name = substr($0, 15)} /^PID : /{print $3 "\t" name}' |
	while IFS='	' read -r pid name; do
		[ "$pid" -gt 0 ] 2>/dev/null || continue
		program=$(readlink "/proc/$pid/exe" 2>/dev/null) || continue
		case "$program" in
			/usr/lib/tarvo/*) printf '%s\t%s\t%s\n' "${program##*/}" "$pid" "$name" ;;
		esac
	done | sort -t '	' -k1,1r
}

# Stops the services tarvo_running_services lists and waits until each
# process has ended (30 s at most, then it is killed). Prints the names of
# those it stopped, in the order it stopped them.
tarvo_stop_services() {
	tarvo_running_services | while IFS='	' read -r program pid name; do
		tarvo_sc stop "$name" >/dev/null 2>&1 || true
		waited=0
		while [ -d "/proc/$pid" ] && [ "$waited" -lt 300 ]; do
			sleep 0.1
			waited=$((waited + 1))
		done
		# Killed only while that process still runs a program of the package:
		# once it has ended, its number may already be another process's.
		case "$(readlink "/proc/$pid/exe" 2>/dev/null)" in
			/usr/lib/tarvo/*) kill -9 "$pid" 2>/dev/null || true ;;
		esac
		printf '%s\n' "$name"
	done
}
