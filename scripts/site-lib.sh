# Shared by the scripts that run the service against the simulated site
# (demo.sh, memcheck.sh); sourced, never run. The caller sets "root" (the
# source tree) and works in the folder of the site.

# Every process the script started, killed by stop_all.
pids=()

# Closes the simulator's input and kills every process in pids.
stop_all() {
    exec 3>&- 2>/dev/null || true
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
}

# write_site ADDRESS ROWS: writes pairs.xml (the shipped example), access.db
# holding ROWS (an SQL VALUES list) and dorvane.conf for ADDRESS, whose log
# keys come from standard input.
write_site() {
    cp "$root/share/dorvane.xml" pairs.xml
    sqlite3 access.db < "$root/share/codes.sql"
    sqlite3 access.db "INSERT INTO codes VALUES $2;"
    { printf 'host=%s\nioPairFile=pairs.xml\ndblocal=access.db\n' "$1"; cat; } > dorvane.conf
}

# start_sim SIM_BIN ADDRESS: starts the simulated site on site.txt, its
# commands taken from descriptor 3 (the FIFO sim.in), its output in sim.out.
start_sim() {
    mkfifo sim.in
    "$1" --host "$2" --site site.txt < sim.in > sim.out 2>&1 &
    pids+=($!)
    exec 3> sim.in
}
