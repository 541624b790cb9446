#!/usr/bin/python3
"""Turns the measurements of bench/compare into tables and a plot.

    report.py syscalls STRACE_A STRACE_B N
        System calls per call from two `strace -c` summaries of runs that
        differ by N calls (B made N more than A).  Prints one tab-separated
        line: total=..., then name=count for each system call.
    report.py render DIR
        Reads DIR/raw.tsv and DIR/machine.txt and writes DIR/comparison.md
        and DIR/lookup-median.png.
"""
import collections
import os
import sys

LOOKUPS = ["getpwnam", "getpwuid", "getgrnam", "getgrgid"]
ENUMS = ["getpwent", "getgrent"]
MODULES = ["vesk", "vesk-direct", "floor", "vesk-scan", "files", "db", "extrausers",
           "files-nscd-cold", "files-nscd-warm", "vesk-nscd-cold", "vesk-nscd-warm"]
LABELS = {
    "vesk": "vesk (indexed, via glibc)",
    "vesk-direct": "vesk (indexed, direct call)",
    "floor": "floor program",
    "vesk-scan": "vesk (no index: scan)",
    "files": "glibc files",
    "db": "libnss-db",
    "extrausers": "libnss-extrausers",
    "files-nscd-cold": "glibc files + nscd, cold",
    "files-nscd-warm": "glibc files + nscd, warm",
    "vesk-nscd-cold": "vesk + nscd, cold",
    "vesk-nscd-warm": "vesk + nscd, warm",
}
# The staleness rows: how the changed map was put in place.
STALE_ROWS = [
    ("vesk", "vesk alone", "`vesk-index install`"),
    ("vesk-nscd", "vesk + nscd", "`vesk-index install` (tells nscd)"),
    ("files-nscd", "glibc files + nscd", "new /etc/passwd renamed into place"),
    ("vesk-nscd-untold", "vesk + nscd, not told", "map renamed into place by hand, no `vesk-index`"),
]


def strace_counts(path):
    counts = {}
    with open(path) as f:
        for line in f:
            fields = line.split()
            if len(fields) < 5 or fields[0].startswith(("%", "-")):
                continue
            name = fields[-1]
            if name == "total":
                continue
            try:
                counts[name] = int(fields[3])
            except ValueError:
                pass
    return counts


def syscalls(a, b, n):
    ca, cb = strace_counts(a), strace_counts(b)
    per = {k: (cb.get(k, 0) - ca.get(k, 0)) / n for k in set(ca) | set(cb)}
    per = {k: v for k, v in per.items() if abs(v) >= 0.005}
    total = sum(per.values())
    parts = [f"total={total:.2f}"] + [f"{k}={v:.2f}" for k, v in sorted(per.items(), key=lambda kv: -kv[1])]
    print("\t".join(parts))


def read_kv_lines(path):
    rows = []
    with open(path) as f:
        for line in f:
            line = line.rstrip("\n")
            if not line:
                continue
            row = {}
            for field in line.split("\t"):
                k, _, v = field.partition("=")
                row[k] = v
            rows.append(row)
    return rows


def read_machine(path):
    m = {}
    if os.path.exists(path):
        with open(path) as f:
            for line in f:
                k, _, v = line.rstrip("\n").partition("=")
                m[k] = v
    return m


def first_call_sizes(r):
    """The sizes of the first call's allocations (the counter keeps the first eight)."""
    sizes = [x for x in r.get("first_sizes", "").split(",") if x]
    k = round(float(r.get("allocs_per_call", 0)))
    return ", ".join(sizes[:k]) if k > 0 else "-"


def fmt(x):
    if x is None:
        return "-"
    if x >= 1000:
        return f"{x:,.0f}"
    if x >= 100:
        return f"{x:.0f}"
    if x >= 10:
        return f"{x:.1f}"
    return f"{x:.2f}"


def fmt_ratio(r):
    if r is None:
        return ""
    if r >= 100:
        return f"{r:,.0f}x"
    if r >= 10:
        return f"{r:.0f}x"
    if r < 0.1:
        return f"{r:.2g}x"  # a cache's warm lookups: 0.0037x, not 0.00x
    return f"{r:.2f}x"


def fmt_ms(ms):
    if ms >= 1000:
        return f"{ms / 1000:,.1f} s"
    if ms >= 10:
        return f"{ms:.0f} ms"
    return f"{ms:.2f} ms"


def stale_cell(r):
    """How soon a change showed: from the command's exit, with the command's time."""
    if r is None:
        return "", ""
    took = fmt_ms(float(r["command_ms"]))
    shown = float(r["shown_ms"])
    if r.get("timed_out") == "1":
        return took, f"not yet after {fmt_ms(shown)} (stopped waiting)"
    lookups = int(r["lookups"])
    when = "first lookup" if lookups == 1 else f"{lookups:,} lookups"
    return took, f"{fmt_ms(shown)} ({when})"


def render(out):
    rows = read_kv_lines(os.path.join(out, "raw.tsv"))
    machine = read_machine(os.path.join(out, "machine.txt"))
    sizes = sorted({int(r["size"]) for r in rows})
    times = {}  # (size, peer, op) -> row
    other = collections.defaultdict(list)  # kind -> rows
    for r in rows:
        if r["kind"] == "time":
            times[(int(r["size"]), r["peer"], r["op"])] = r
        else:
            other[r["kind"]].append(r)

    def med(size, peer, op):
        r = times.get((size, peer, op))
        return float(r["median_us"]) if r else None

    def p90(size, peer, op):
        r = times.get((size, peer, op))
        return float(r["p90_us"]) if r else None

    md = []
    md.append("# nss-vesk against its peers\n")
    md.append(
        f"Measured {machine.get('date', '?')} at commit {machine.get('commit', '?')} by `bench/compare`: "
        f"{machine.get('nproc', '?')} CPUs ({machine.get('cpu', '?')}), {machine.get('kernel', '?')}, "
        f"{machine.get('glibc', '?')}, libnss-db {machine.get('libnss_db', '?')}, "
        f"libnss-extrausers {machine.get('libnss_extrausers', '?')}, nscd {machine.get('nscd', '?')} "
        f"(Debian's nscd.conf; times to live in seconds: {machine.get('nscd_ttl', '?')}), "
        f"{machine.get('mem_gib', '?')} GiB of memory. "
        f"Load average at start {machine.get('load_start', '?')}, at end {machine.get('load_end', '?')}"
        + (f"; the run took {int(machine['run_s']) / 60:.0f} minutes" if machine.get("run_s") else "")
        + " (the machine is shared: medians and ratios come from this one run, side by side).\n")
    md.append(
        "All figures are microseconds per call through glibc (`getpwnam_r` ..., `getgrouplist`), "
        "except the direct row (the module's own functions, no glibc dispatch) and the floor program "
        "(the system calls of an indexed lookup and nothing more). Cells: median / 90th percentile, "
        "and the ratio of the module's median to that of vesk via glibc (2.00x = twice as slow). "
        f"Keyed lookups time up to 20,000 random keys (seed 7, the same for all); a module stops after "
        f"{machine.get('budget_s', '?')} s once 20 keys are timed, and [n=...] gives the keys timed where fewer. "
        f"Indexes written by {machine.get('indexes_by', '?')}. "
        "The nscd rows: the module behind Debian's nscd, started afresh (empty caches) for each "
        "measurement in a private namespace; cold is the first lookup of each key after the start "
        "(the daemon asks the module and caches the answer), warm the same keys once more (answered "
        "from the daemon's shared cache). They time distinct keys only, so [n=...] is also the number "
        "of distinct keys timed (at 1,000 users at most 1,000 users and 100 groups), and vesk + nscd "
        "times the keys that glibc files + nscd got through in its budget, so that both warm rows read "
        "a cache of the same fill. "
        f"`_nss_vesk_initgroups_dyn` present: {machine.get('initgroups_dyn', '?')}.\n")

    for size in sizes:
        groups = max(1, size // 10)
        md.append(f"\n## {size:,} users, {groups:,} groups\n")
        ops = LOOKUPS + ["getgrouplist"]
        md.append("| module | " + " | ".join(ops) + " |")
        md.append("|---|" + "---|" * len(ops))
        for peer in MODULES:
            cells = []
            present = False
            for op in ops:
                r = times.get((size, peer, op))
                if r is None:
                    cells.append("")
                    continue
                present = True
                m, p = float(r["median_us"]), float(r["p90_us"])
                base = med(size, "vesk", op)
                cell = f"{fmt(m)} / {fmt(p)}"
                if peer != "vesk" and base:
                    cell += f" ({fmt_ratio(m / base)})"
                if int(r["n"]) < 20000:
                    cell += f" [n={r['n']}]"
                cells.append(cell)
            if present:
                md.append(f"| {LABELS[peer]} | " + " | ".join(cells) + " |")
        md.append("")
        md.append("Full enumeration, milliseconds per pass (median / 90th percentile of up to 3 passes):\n")
        md.append("| module | getpwent (all users) | getgrent (all groups) |")
        md.append("|---|---|---|")
        for peer in MODULES:
            cells = []
            present = False
            for op in ENUMS:
                m, p = med(size, peer, op), p90(size, peer, op)
                if m is None:
                    cells.append("")
                    continue
                present = True
                base = med(size, "vesk", op)
                cell = f"{fmt(m / 1000)} / {fmt(p / 1000)}"
                if peer != "vesk" and base:
                    cell += f" ({fmt_ratio(m / base)})"
                cells.append(cell)
            if present:
                md.append(f"| {LABELS[peer]} | " + " | ".join(cells) + " |")
        for r in other["skip"]:
            if int(r["size"]) == size:
                md.append(f"\n{LABELS.get(r['peer'], r['peer'])} {r['op']}: {r['reason']}.")
        builds = [r for r in other["build"] if int(r["size"]) == size]
        if builds:
            md.append("")
            names = {"vesk": "`vesk-index build`", "db": "libnss-db's Makefile (makedb)"}

            def build_text(r):
                text = f"{names.get(r['peer'], r['peer'])} {int(r['ms']):,} ms"
                if r.get("maxrss_kib"):
                    text += f" (peak memory {int(r['maxrss_kib']) / 1024:,.0f} MiB)"
                return text
            gen = [r for r in builds if r["peer"] == "gen"]
            md.append("Building the indexes: " + ", ".join(
                build_text(r) for r in builds if r["peer"] != "gen") + "." +
                (f" Generating the maps and keys took {int(gen[0]['ms']):,} ms." if gen else ""))

    # System calls, allocations, memory.
    md.append("\n## System calls per indexed lookup\n")
    md.append("From `strace -c`: the difference between runs of 2,000 and 1,000 keys, divided by 1,000.\n")
    md.append("| users | op | module | total | by call |")
    md.append("|---|---|---|---|---|")
    for r in other["syscalls"]:
        calls = ", ".join(f"{k} {float(v):g}" for k, v in r.items()
                          if k not in ("size", "peer", "kind", "op", "total"))
        md.append(f"| {int(r['size']):,} | {r['op']} | {LABELS[r['peer']]} | {float(r['total']):g} | {calls} |")

    md.append("\n## Heap allocations per lookup\n")
    md.append("A preloaded malloc counter over 1,000 lookups; the sizes, in bytes, of one lookup's allocations.\n")
    md.append("| users | op | module | allocations | bytes | frees | sizes (one lookup) |")
    md.append("|---|---|---|---|---|---|---|")
    for r in other["allocs"]:
        r["first_sizes"] = first_call_sizes(r)
        md.append(f"| {int(r['size']):,} | {r['op']} | {LABELS[r['peer']]} | {float(r['allocs_per_call']):g} | "
                  f"{float(r['bytes_per_call']):g} | {float(r['frees_per_call']):g} | {r.get('first_sizes', '')} |")

    md.append("\n## Memory of a process doing 100,000 lookups\n")
    md.append("RSS after the first lookup and the peak RSS of the process (KiB); the process also holds "
              "its 100,000 keys (about 13 MiB) and a 2 MiB buffer.\n")
    md.append("| users | op | module | RSS before | peak RSS | lookups |")
    md.append("|---|---|---|---|---|---|")
    for r in other["rss"]:
        md.append(f"| {int(r['size']):,} | {r['op']} | {LABELS[r['peer']]} | {int(r['rss_kib']):,} | "
                  f"{int(r['maxrss_kib']):,} | {int(r['n']):,} |")

    stale = {(int(r["size"]), r["peer"], r["change"]): r for r in other["stale"]}
    if stale:
        md.append("\n## Staleness: how soon a changed passwd map shows\n")
        md.append(
            "A user (`vesknew`) is added to the passwd map, a new map renamed into place, and then "
            "removed again the same way. Just before each change one `getpwnam` of the user left the "
            "old answer in nscd's cache, where nscd runs (a fresh one, Debian's configuration). After "
            "the change, `getpwnam` asks at once and then every millisecond. \"took\": the command "
            "that put the map in place (for vesk it builds the indexes too); \"shown after\": from "
            "its end to the first lookup with the new answer.\n")
        md.append("| users | module | map put in place by | user added: took | shown after "
                  "| user removed: took | shown after |")
        md.append("|---|---|---|---|---|---|---|")
        for size in sizes:
            for key, label, how in STALE_ROWS:
                add, rem = stale.get((size, key, "appear")), stale.get((size, key, "vanish"))
                if add is None and rem is None:
                    continue
                cells = [*stale_cell(add), *stale_cell(rem)]
                md.append(f"| {size:,} | {label} | {how} | " + " | ".join(cells) + " |")

    # Targets at the largest size.
    big = sizes[-1] if sizes else None
    if big:
        md.append(f"\n## Targets at {big:,} users\n")
        md.append("| target | measured | met |")
        md.append("|---|---|---|")

        def target(text, value, ok):
            md.append(f"| {text} | {value} | {'yes' if ok else 'no'} |")

        for op in LOOKUPS:
            v, f = med(big, "vesk", op), med(big, "files", op)
            if v and f:
                target(f"{op}: glibc files / vesk >= 150", f"{f / v:,.0f}", f / v >= 150)
        for op in LOOKUPS:
            fl = med(big, "floor", op)
            for peer in ("vesk-direct", "vesk"):
                v = med(big, peer, op)
                if v and fl:
                    target(f"{op}: {LABELS[peer]} / floor <= 1.25", f"{v / fl:.2f}", v / fl <= 1.25)
        sc = {(r["peer"], r["op"]): float(r["total"]) for r in other["syscalls"] if int(r["size"]) == big}
        for op in LOOKUPS:
            if ("vesk-direct", op) in sc and ("floor", op) in sc:
                a, b = sc[("vesk-direct", op)], sc[("floor", op)]
                target(f"{op}: system calls per lookup, module <= floor", f"{a:g} vs {b:g}", a <= b)
        for r in other["allocs"]:
            if int(r["size"]) == big and r["peer"] == "vesk-direct":
                a = float(r["allocs_per_call"])
                target(f"{r['op']}: heap allocations per indexed lookup (target: none in the search)",
                       f"{a:g} per lookup ({r.get('first_sizes', '')} bytes)", a == 0)
        for op in ENUMS:
            v, f = med(big, "vesk", op), med(big, "files", op)
            if v and f:
                target(f"{op} enumeration: vesk / glibc files <= 1.2", f"{v / f:.2f}", v / f <= 1.2)
        v, f = med(big, "vesk", "getgrouplist"), med(big, "files", "getgrouplist")
        if v and f:
            target("getgrouplist: vesk / glibc files <= 0.5", f"{v / f:.2f}", v / f <= 0.5)
        rss = {(int(r["size"]), r["peer"], r["op"]): r for r in other["rss"]}
        # The floor program maps and touches the same index pages: growth up
        # to its own (plus a little slack for noise) is the pages touched.
        for op in ("getpwnam", "getgrgid"):
            grow = {}
            for peer in ("vesk", "floor"):
                small, large = rss.get((sizes[0], peer, op)), rss.get((big, peer, op))
                if small and large:
                    grow[peer] = int(large["maxrss_kib"]) - int(small["maxrss_kib"])
            if "vesk" in grow and "floor" in grow:
                target(f"{op}: peak RSS growth {sizes[0]:,} -> {big:,} users, KiB (floor program: the pages "
                       "one lookup touches)", f"{grow['vesk']:+,} (floor {grow['floor']:+,})",
                       grow["vesk"] <= max(grow["floor"], 0) + 256)

    md.append("\n![median lookup time against map size](lookup-median.png)\n")
    with open(os.path.join(out, "comparison.md"), "w") as f:
        f.write("\n".join(md) + "\n")
    plot(out, sizes, med)


def plot(out, sizes, med):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    panels = LOOKUPS + ["getgrouplist", "getpwent"]
    fig, axes = plt.subplots(2, 3, figsize=(15, 9))
    styles = {"vesk": ("o-", "tab:blue"), "vesk-direct": ("o--", "tab:cyan"), "floor": (":", "black"),
              "vesk-scan": ("s-", "tab:gray"), "files": ("^-", "tab:red"), "db": ("v-", "tab:purple"),
              "extrausers": ("d-", "tab:orange"), "files-nscd-cold": ("^--", "tab:brown"),
              "files-nscd-warm": ("^:", "tab:pink"), "vesk-nscd-cold": ("o--", "tab:green"),
              "vesk-nscd-warm": ("o:", "tab:olive")}
    for ax, op in zip(axes.flat, panels):
        for peer in MODULES:
            xs, ys = [], []
            for s in sizes:
                m = med(s, peer, op)
                if m is not None:
                    xs.append(s)
                    ys.append(m / 1000 if op == "getpwent" else m)
            if xs:
                ax.plot(xs, ys, styles[peer][0], color=styles[peer][1], label=LABELS[peer])
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(op if op != "getpwent" else "getpwent (full enumeration)")
        ax.set_xlabel("users in the map")
        ax.set_ylabel("median ms per pass" if op == "getpwent" else "median µs per call")
        ax.grid(True, which="both", alpha=0.3)
    handles, labels = axes.flat[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=(len(labels) + 1) // 2, fontsize=9)
    fig.suptitle("nss-vesk and peer modules: median time against map size (log-log)")
    fig.tight_layout(rect=(0, 0.07, 1, 1))
    fig.savefig(os.path.join(out, "lookup-median.png"), dpi=90)


def main():
    if len(sys.argv) == 5 and sys.argv[1] == "syscalls":
        syscalls(sys.argv[2], sys.argv[3], int(sys.argv[4]))
    elif len(sys.argv) == 3 and sys.argv[1] == "render":
        render(sys.argv[2])
    else:
        sys.stderr.write(__doc__)
        sys.exit(2)


if __name__ == "__main__":
    main()
