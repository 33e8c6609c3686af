# Sourced first by the scripts that start Wine: re-runs the script without
# address-space randomisation, once, where the personality can be set.
#
# Debian's Wine 8 has no preloader, which would reserve the Windows address ranges before
# the kernel lays out a new process. The kernel places each process's heap at random in
# the gigabyte above the loader (0x7d000000), which holds the shared user data page
# (0x7ffe0000): now and then a Wine process finds that page taken and ends at once
# ("failed to map the shared user data", seen once in the end-to-end runs, in a helper
# process of a scenario's session). Without randomisation every Wine process starts its
# heap right after the loader, 48 MB below that page; the processes the script starts
# inherit that.
if [ -z "${E2E_FIXED_LAYOUT:-}" ] && setarch "$(uname -m)" -R true 2>/dev/null; then
  E2E_FIXED_LAYOUT=1 exec setarch "$(uname -m)" -R bash "$0" "$@"
fi
