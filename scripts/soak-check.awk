# The soak's account (scripts/soak.sh), given -v ncodes=N -v nunknown=N
# (the codes of scan s, as the driver sends them). Reads, in this order, site.txt,
# expect.txt, sent.txt, samples.txt, trail.log and the daemon's output of all
# its runs (sim.out), prints the figures and exits 1 on a lost or doubled
# trail line or a wrong door. Written for any POSIX awk (mawk).
#
# A trail line is right when its code is the one sent with its serial; its
# reader is what a database generation in force while the scan was on its
# way names for that code (the one of the sending time or a later one, never
# earlier than one an earlier line used); its outputs are those the pairing
# names, each with the state that toggling the service's own picture gives;
# and its result word agrees. The daemon's SET lines must be the confirmed
# outputs of the trail, in its order (an unconfirmed one may or may not be
# there).

function fail_note(what) {
    if (notes++ < 10) {
        print "soak: " what
    }
}

# The batch holding scan s (binary search over the sent batches), or 0.
function batch_of(s,    lo, hi, mid) {
    lo = 1
    hi = nbatch
    while (lo <= hi) {
        mid = int((lo + hi) / 2)
        if (s < bfirst[mid]) {
            hi = mid - 1
        } else if (s > blast[mid]) {
            lo = mid + 1
        } else {
            return mid
        }
    }
    return 0
}

function code_of(s,    k) {
    k = s % (ncodes + nunknown)
    return k < ncodes ? sprintf("C%03d", k) : sprintf("X%03d", k - ncodes)
}

# Splits the trail line into tv[key] and the outputs olabel/ostate/oconf.
function parse_trail(    i, p, key, val, after) {
    split("", tv)
    nout = 0
    after = 0
    for (i = 1; i <= NF; i++) {
        p = index($i, "=")
        key = substr($i, 1, p - 1)
        val = substr($i, p + 1)
        if (after) {
            nout++
            olabel[nout] = key
            oconf[nout] = val !~ /\(unconfirmed\)$/
            sub(/\(unconfirmed\)$/, "", val)
            ostate[nout] = val
        } else {
            tv[key] = val
            after = key == "result"
        }
    }
}

# The generation whose database names reader for code, from the earliest
# the scan may have met; -1 when none does.
function generation(b, code, reader,    g, from) {
    from = bgen[b] > curgen ? bgen[b] : curgen
    for (g = from; g <= bgen[b] + 1 && g <= lastgen; g++) {
        if (map[g, code] == reader) {
            return g
        }
    }
    return -1
}

# Checks the outputs of a scan of reader against the picture, toggles the
# picture and queues the confirmed SETs; false on a wrong output.
function check_outputs(reader, serial,    want, i, k, n, st, allconf) {
    n = 0
    allconf = 1
    for (k = 1; k <= 2; k++) {
        want = k == 1 ? io[reader] : led[reader]
        for (i = 1; i <= nports; i++) {
            if (plabel[i] != want) {
                continue
            }
            n++
            st = picture[i] == "set" ? "clear" : "set"
            if (n > nout || olabel[n] != want || ostate[n] != st) {
                fail_note("wrong door: scan " serial " (" $0 "): output " n " should be " want "=" st)
                return 0
            }
            picture[i] = st
            allconf = allconf && oconf[n]
            nexp++
            eset[nexp] = pserial[i] " " pport[i] " " want " " st
            econf[nexp] = oconf[n]
        }
    }
    if (n != nout || tv["result"] != (allconf ? "toggled" : "partly")) {
        fail_note("wrong door: scan " serial " (" $0 "): " nout " outputs or its result")
        return 0
    }
    return 1
}

# Whether the line's reader and outputs are right for its scan.
function check_trail(s, b,    code, g) {
    code = tv["code"]
    if (code != code_of(s)) {
        fail_note("wrong code: scan " s " sent " code_of(s) ": " $0)
        return 0
    }
    results[tv["result"]]++
    if (code ~ /^X/) {
        # Handled too late, it was not looked up: expired, not unknown.
        return (tv["result"] == "unknown-code" || tv["result"] == "expired") &&
               !("reader" in tv) && nout == 0
    }
    if (!("reader" in tv)) {
        # No reader: a lookup that failed opens nothing; "unknown" is untrue.
        return tv["result"] != "unknown-code" && nout == 0
    }
    g = generation(b, code, tv["reader"])
    if (g < 0) {
        fail_note("wrong reader: scan " s " sent under database " bgen[b] ": " $0)
        return 0
    }
    curgen = g
    if (!(tv["reader"] in io)) {
        return tv["result"] == "no-pairing-record" && nout == 0
    }
    return check_outputs(tv["reader"], s)
}

function trail_line(    s, b) {
    parse_trail()
    s = tv["serial"] + 0
    trails++
    if (++seen[s] > 1) {
        doubled++
        fail_note("doubled: scan " s " has " seen[s] " trail lines")
        return
    }
    b = batch_of(s)
    if (b == 0 || bstate[b] == "down") {
        doubled++
        fail_note("a trail line of a scan never sent: " $0)
        return
    }
    handled[bstate[b]]++
    if (s < lastserial) {
        reordered++
    }
    lastserial = s
    if (!check_trail(s, b)) {
        wrong++
    }
}

# The daemon's SETs against the trail's, in order; an unconfirmed one may
# be missing.
function check_sets(    i, j) {
    j = 1
    for (i = 1; i <= nexp; i++) {
        if (j <= nset && sset[j] == eset[i]) {
            j++
        } else if (econf[i]) {
            wrong++
            fail_note("wrong door: the daemon's SET " j " is \"" sset[j] "\", the trail says \"" eset[i] "\"")
            return
        }
    }
    if (j <= nset) {
        wrong++
        fail_note("wrong door: " (nset - j + 1) " SETs the trail does not name, from \"" sset[j] "\"")
    }
}

function count_lost(    b, s) {
    for (b = 1; b <= nbatch; b++) {
        due += blast[b] - bfirst[b] + 1
        for (s = bfirst[b]; s <= blast[b]; s++) {
            sent[bstate[b]]++
            if (!(s in seen)) {
                missing[bstate[b]]++
                if (bstate[b] == "up") {
                    fail_note("lost: scan " s " was sent on a live connection; no trail line")
                }
            }
        }
    }
    lost = missing["up"] + 0
}

function figures(name, col,    v, i, mx) {
    mx = 0
    for (i = 1; i <= nsample; i++) {
        v = samples[i, col]
        mx = v > mx ? v : mx
    }
    printf "soak: %-22s start %7d  end %7d  max %7d\n", name, samples[1, col], samples[nsample, col], mx
}

function report() {
    printf "soak: scans due %d: sent on a live connection %d, sent while the service reconnected %d, not sent (daemon down) %d\n",
        due, sent["up"], sent["restarting"], sent["down"]
    printf "soak: trail lines %d (of scans sent while it reconnected: %d); results:", trails, handled["restarting"]
    for (r in results) {
        printf " %s %d", r, results[r]
    }
    printf "\nsoak: daemon SETs %d, trail SETs %d (unconfirmed %d); trail lines out of order %d\n",
        nset, nexp, unconfirmed, reordered
    printf "soak: lost %d, doubled %d, wrong doors %d\n", lost, doubled, wrong
    figures("RSS (kB)", 1)
    figures("descriptors", 2)
    figures("threads", 3)
}

BEGIN {
    curgen = 0
    lastgen = 0
    lastserial = 0
}
FILENAME ~ /site\.txt$/ && $1 == "port" && $4 == "dout" {
    nports++
    pserial[nports] = $2
    pport[nports] = $3
    plabel[nports] = $5
    picture[nports] = $6 == "set" ? "set" : "clear"
    next
}
FILENAME ~ /expect\.txt$/ && $1 == "pair" { io[$2] = $3; led[$2] = $4; next }
FILENAME ~ /expect\.txt$/ && $1 == "map" {
    map[$2, $3] = $4
    lastgen = $2 > lastgen ? $2 : lastgen
    next
}
FILENAME ~ /sent\.txt$/ && $1 == "batch" {
    nbatch++
    bfirst[nbatch] = $2
    blast[nbatch] = $3
    bstate[nbatch] = $4
    bgen[nbatch] = $5
    next
}
FILENAME ~ /samples\.txt$/ && $1 == "sample" {
    nsample++
    samples[nsample, 1] = $3
    samples[nsample, 2] = $4
    samples[nsample, 3] = $5
    next
}
FILENAME ~ /trail\.log$/ { trail_line(); next }
FILENAME ~ /sim\.out$/ && $1 == "SET" {
    nset++
    sset[nset] = substr($2, 8) " " substr($3, 6) " " substr($4, 7) " " substr($5, 7)
    next
}
END {
    for (i = 1; i <= nexp; i++) {
        unconfirmed += !econf[i]
    }
    check_sets()
    count_lost()
    report()
    if (lost + doubled + wrong > 0) {
        print "soak: FAILED"
        exit 1
    }
    print "soak: passed"
}
