# The fleet's verdict (scripts/fleet.sh). Reads, in this order:
#   plan.txt     "unit NAME", "run START_US END_US", "set VERSION US signed|forged TOPIC BYTES",
#                "kill UNIT US", "cut UNIT FROM_US TO_US", "broker-restart US",
#                "center-restart US", "scans US N", "end US"
#   sent.txt     "sent UNIT FIRST LAST US": scans FIRST..LAST (their device serial)
#                given to the unit's simulated daemon at US
#   center.txt   "SECONDS.FRACTION UNIT EVENT" as the central consumer
#                (dorvane-mqtt events --json) printed them
#   acks.txt     "SECONDS.FRACTION TOPIC PAYLOAD": every unit's codes/applied
#   samples.txt  "sample US KIND UNIT PID RSS_KB FDS THREADS CPU_TICKS"
# and prints the figures. Exit status 0 only when every scan's event was
# received at least once or lies in a range a received `lost` event names
# (never silently missing), each unit's events came in order, every unit
# acknowledged every signed set, nothing was applied that the site did not
# sign, and memory, descriptors and threads of every process that lived
# long enough were flat from its first window to its last (judge()). Written for any
# POSIX awk (mawk): times are kept as microseconds, which doubles hold exactly.

function fail_note(what) {
    failed++
    if (notes++ < 12) {
        print "fleet: " what
    }
}

function us_of(t,    p) {
    p = index(t, ".")
    return substr(t, 1, p - 1) * 1000000 + substr(t "000000", p + 1, 6)
}

# The JSON member key's string, number or "" (top-level names are unique
# within the flat events the units publish).
function jstr(s, key) {
    if (match(s, "\"" key "\":\"[^\"]*\"")) {
        return substr(s, RSTART + length(key) + 4, RLENGTH - length(key) - 5)
    }
    return ""
}
function jnum(s, key) {
    if (match(s, "\"" key "\":[0-9]+")) {
        return substr(s, RSTART + length(key) + 3, RLENGTH - length(key) - 3) + 0
    }
    return -1
}

# An event id "START-N": sets idstart and idnum.
function split_id(id,    p) {
    p = length(id)
    while (p > 0 && substr(id, p, 1) != "-") {
        p--
    }
    idstart = substr(id, 1, p - 1)
    idnum = substr(id, p + 1) + 0
}

# True the first time the event id comes (it is marked seen); a repeat, the
# broker's redelivery at least once, is counted in dups.
function first_seen(id) {
    if (id in seen) {
        dups++
        return 0
    }
    seen[id] = 1
    return 1
}

function access_event(u, t, p,    id, s, ms) {
    id = jstr(p, "id")
    if (!first_seen(id)) {
        return
    }
    distinct++
    split_id(id)
    s = jnum(p, "serial")
    if ((u, s) in got) {
        fail_note("scan " s " of " u " has two events (" gotid[u, s] ", " id ")")
        return
    }
    got[u, s] = idnum
    gotstart[u, s] = idstart
    gotid[u, s] = id
    if (idstart == laststart[u] && (idnum <= lastnum[u] || s <= lastserial[u])) {
        fail_note("out of order: " u "'s event " id " (scan " s ") came after " lastid[u])
    }
    laststart[u] = idstart
    lastnum[u] = idnum
    lastserial[u] = s
    lastid[u] = id
    if ((u, s) in senttime) {
        ms = int((t - senttime[u, s]) / 1000)
        lat[ms]++
        nlat++
        if (!(u in cutfrom)) {
            lat2[ms]++
            nlat2++
        }
    }
}

function lost_event(u, p,    id, f, l) {
    id = jstr(p, "id")
    if (!first_seen(id)) {
        return
    }
    nlost++
    if (jstr(p, "reason") == "damaged") {
        fail_note(u " published a damaged line: " p)
        return
    }
    f = jstr(p, "first")
    l = jstr(p, "last")
    split_id(f)
    nrange[u]++
    rstart[u, nrange[u]] = idstart
    rfirst[u, nrange[u]] = idnum
    split_id(l)
    rlast[u, nrange[u]] = idnum
    lostnamed += jnum(p, "count")
    reasons[jstr(p, "reason")]++
}

function applied(u, t, p,    v) {
    if (!match(p, /"applied":\{"version":[0-9]+/)) {
        return
    }
    v = substr(p, RSTART + 21, RLENGTH - 21) + 0
    if (!(v in signed)) {
        fail_note(u " applied version " v ", which the site did not sign: " p)
    }
    if (!((u, v) in ack)) {
        ack[u, v] = t
    }
}

# The numbers of the unit's lost ranges (of start st) strictly between a and b.
function covered(u, st, a, b,    k, lo, hi, n) {
    n = 0
    for (k = 1; k <= nrange[u]; k++) {
        if (rstart[u, k] != st) {
            continue
        }
        lo = rfirst[u, k] > a ? rfirst[u, k] : a + 1
        hi = rlast[u, k] < b ? rlast[u, k] : b - 1
        n += hi >= lo ? hi - lo + 1 : 0
    }
    return n
}

# Every scan sent to the unit: its event, or a gap of missing scans that the
# lost ranges between its neighbours' event numbers cover.
function account(u,    s, pn, ps, m, g, c) {
    pn = 0
    ps = ""
    for (s = 1; s <= lastsent[u]; s++) {
        if ((u, s) in got) {
            pn = got[u, s]
            ps = gotstart[u, s]
            continue
        }
        g = s
        while (s <= lastsent[u] && !((u, s) in got)) {
            s++
        }
        m = s - g
        if (s <= lastsent[u]) {
            c = covered(u, gotstart[u, s], ps == gotstart[u, s] ? pn : 0, got[u, s])
        } else {
            c = covered(u, ps, pn, 1e18)
        }
        if (c >= m) {
            inlost += m
        } else {
            missing += m - c
            fail_note(u ": scans " g " to " (s - 1) " (" (m - c) " of " m ") have no event and no lost event")
        }
        s--
    }
}

# The q-quantile (in ms) of the histogram h of total events.
function percentile(h, total, q,    ms, n) {
    n = 0
    for (ms = 0; ms <= maxms; ms++) {
        n += h[ms]
        if (n >= q * total) {
            return ms
        }
    }
    return maxms
}

# Flat: the last window's lowest sample against the first window's highest
# (which runs at least until the first set was everywhere: applying it is a
# peak). A passing peak (a set received late) is no growth; a leak raises
# the floor.
function judge(key,    i, b, e, wb, we, base, fin, what, k, kind) {
    if (st1[key] - st0[key] < 2 * win) {
        return
    }
    judged++
    wb = st0[key] + win
    wb = wb > rollout_end ? wb : rollout_end
    we = st1[key] - win
    for (k = 5; k <= 7; k++) {
        base = 0
        fin = -1
        for (i = 1; i <= ns[key]; i++) {
            if (sv[key, i, 1] <= wb && sv[key, i, k] > base) {
                base = sv[key, i, k]
            }
            if (sv[key, i, 1] >= we && (fin < 0 || sv[key, i, k] < fin)) {
                fin = sv[key, i, k]
            }
        }
        what = k == 5 ? "RSS kB" : k == 6 ? "descriptors" : "threads"
        if ((k == 5 && fin > base * 1.2 + 2048) || (k == 6 && fin > base + 2) || (k == 7 && fin > base)) {
            fail_note("not flat: " key ": " what " at most " base " in the first window, at least " fin " in the last")
        }
    }
}

function figures(    key, kind, n, cpu, life) {
    for (key in st0) {
        split(key, kp, " ")
        kind = kp[1]
        life = (st1[key] - st0[key]) / 1000000
        kproc[kind]++
        if (rssmax[key] > krss[kind]) {
            krss[kind] = rssmax[key]
        }
        if (life > 0) {
            cpu = (tk1[key] - tk0[key]) / 100 / life * 100
            kcpu[kind] += cpu
            kcpun[kind]++
            if (cpu > kcpumax[kind]) {
                kcpumax[kind] = cpu
            }
        }
        judge(key)
    }
    for (kind in kproc) {
        printf "fleet: %-8s processes %3d  RSS max %7d kB  CPU mean %5.1f%%  max %5.1f%%\n",
            kind, kproc[kind], krss[kind], (kcpun[kind] ? kcpu[kind] / kcpun[kind] : 0), kcpumax[kind]
    }
}

FILENAME ~ /plan\.txt$/ {
    if ($1 == "unit") {
        nunits++
        uname[nunits] = $2
    } else if ($1 == "run") {
        run0 = $2
        run1 = $3
    } else if ($1 == "set" && $4 == "signed") {
        signed[$2] = $3
        setbytes[$2] = $6
        nsigned++
        sorder[nsigned] = $2
    } else if ($1 == "set") {
        forged[$2] = $3
    } else if ($1 == "end") {
        runend = $2
    } else if ($1 == "cut") {
        faults["cut"]++
        cutfrom[$2] = $3
        cutto[$2] = $4
    } else {
        faults[$1]++
    }
    next
}
FILENAME ~ /sent\.txt$/ {
    for (s = $3; s <= $4; s++) {
        senttime[$2, s] = $5
    }
    lastsent[$2] = $4
    nsent += $4 - $3 + 1
    next
}
FILENAME ~ /center\.txt$/ {
    t = us_of($1)
    p = substr($0, length($1) + length($2) + 3)
    msgs++
    if (p ~ /"type":"access"/) {
        access_event($2, t, p)
    } else if (p ~ /"type":"lost"/) {
        lost_event($2, p)
    } else {
        fail_note("an event that is neither access nor lost: " p)
    }
    next
}
FILENAME ~ /acks\.txt$/ {
    split($2, tp, "/")
    applied(tp[3], us_of($1), substr($0, length($1) + length($2) + 3))
    next
}
FILENAME ~ /samples\.txt$/ && $1 == "sample" {
    key = $3 " " $4 " " $5
    if (!(key in st0)) {
        st0[key] = $2
        tk0[key] = $9
    }
    st1[key] = $2
    tk1[key] = $9
    ns[key]++
    for (k = 1; k <= 8; k++) {
        sv[key, ns[key], k] = $(k + 1)
    }
    if ($6 > rssmax[key]) {
        rssmax[key] = $6
    }
    next
}
END {
    for (i = 1; i <= nunits; i++) {
        account(uname[i])
    }
    for (ms in lat) {
        maxms = ms + 0 > maxms ? ms + 0 : maxms
    }
    secs = (run1 - run0) / 1000000
    printf "fleet: %d units, %d s, scans sent %d; events received %d (%d distinct access events, %d duplicates), %.0f/s\n",
        nunits, secs, nsent, msgs, distinct, dups, (secs > 0 ? msgs / secs : 0)
    printf "fleet: lost events %d naming %d events (%s%s), scans they cover %d; missing %d\n",
        nlost, lostnamed, "overflow ", reasons["overflow"] + 0, inlost, missing
    printf "fleet: scan to center latency p50 %d ms, p99 %d ms, max %d ms (%d events); " \
        "units never cut off p50 %d ms, p99 %d ms\n", percentile(lat, nlat, 0.5),
        percentile(lat, nlat, 0.99), maxms, nlat, percentile(lat2, nlat2, 0.5),
        percentile(lat2, nlat2, 0.99)
    rollout_end = 0
    for (j = 1; j <= nsigned; j++) {
        v = sorder[j]
        worst = -1
        near = -1
        nack = 0
        for (i = 1; i <= nunits; i++) {
            u = uname[i]
            if ((u, v) in ack) {
                nack++
                d = ack[u, v] - signed[v]
                worst = d > worst ? d : worst
                if (!(u in cutfrom && cutfrom[u] <= signed[v] && signed[v] <= cutto[u])) {
                    near = d > near ? d : near
                }
            } else {
                fail_note(u " never acknowledged set " v)
            }
        }
        printf "fleet: set %d (%d bytes) acknowledged by %d of %d units; rollout %.1f s (%.1f s to the units not cut off)\n",
            v, setbytes[v], nack, nunits, worst / 1000000, near / 1000000
        if (j == 1 && worst >= 0) {
            rollout_end = signed[v] + worst
        }
    }
    printf "fleet: faults: links killed %d, cut off %d, broker restarts %d, center restarts %d\n",
        faults["kill"], faults["cut"], faults["broker-restart"], faults["center-restart"]
    win = secs >= 180 ? 60000000 : (run1 - run0) / 3
    figures()
    printf "fleet: processes judged flat over their first and last %d s: %d\n", win / 1000000, judged
    if (nunits == 0 || nsent == 0 || nsigned == 0) {
        fail_note("no units, scans or sets in the run")
    }
    if (failed) {
        print "fleet: FAILED"
        exit 1
    }
    print "fleet: passed"
}
