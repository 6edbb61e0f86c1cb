#!/usr/bin/env python3
"""Reads the JSON of the bench programs and writes the table of figures beside their floors."""
import json
import sys


def load(paths):
    runs = {}
    for path in paths:
        with open(path) as f:
            for b in json.load(f)["benchmarks"]:
                if b.get("run_type", "iteration") == "iteration" and not b.get("error_occurred"):
                    runs[b["name"]] = b
    return runs


def ns(b, counter=None):
    unit = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b.get("time_unit", "ns")]
    if counter:
        return b[counter] * 1e9  # rates inverted: seconds per item
    return b["real_time"] * unit


def fmt(v):
    return f"{v / 1e3:.2f} µs" if v >= 1e3 else f"{v:.1f} ns"


def main():
    out_path, paths = sys.argv[1], sys.argv[2:]
    runs = load(paths)
    rows = []

    def single(figure, name, floor_name, floor_label, limit):
        if name not in runs or floor_name not in runs:
            rows.append((figure, "missing", floor_label, "", f"at most {limit}x", "no"))
            return
        f, fl = ns(runs[name]), ns(runs[floor_name])
        ratio = f / fl
        met = "yes" if limit is None or ratio <= limit else "no"
        rows.append((figure, fmt(f), f"{floor_label}: {fmt(fl)}", f"{ratio:.2f}",
                     "—" if limit is None else f"at most {limit}x", "—" if limit is None else met))

    def series(label, prefix, counter, base_arg, limit, floor_label):
        names = sorted((n for n in runs if n.startswith(prefix + "/")),
                       key=lambda n: int(n.split("/")[1]))
        base = f"{prefix}/{base_arg}"
        if base not in runs:
            rows.append((label, "missing", floor_label, "", "", "no"))
            return
        floor = ns(runs[base], counter)
        for n in names:
            v = ns(runs[n], counter)
            ratio = v / floor
            # Linear: the cost per item may fall as fixed costs spread, never grow past the limit.
            met = "yes" if ratio <= limit else "no"
            rows.append((f"{label}, {n.split('/')[1]}", f"{fmt(v)} per item",
                         f"{floor_label}: {fmt(floor)}", f"{ratio:.2f}", f"at most {limit}x", met))

    single("IsUserAdministrator per call, trace discarded", "BM_IsUserAdministrator",
           "BM_TraceLinesOfIsUserAdministrator", "the same trace lines alone", 2)
    series("IsUserInGroup, local group, members", "BM_IsUserInGroupLocal", "per_member", 10, 1.5,
           "per member at 10")
    series("IsUserInGroup, nested domain group, users", "BM_IsUserInGroupNestedDomain",
           "per_member", 10, 1.5, "per user at 10")
    series("CSD build, entries", "BM_Build", "per_entry", 16, 2, "per entry at 16")
    series("CSD read-back, entries", "BM_ReadBack", "per_entry", 16, 2, "per entry at 16")
    series("platform calls of a build alone, entries", "BM_PlatformCallsOfABuild", "per_entry",
           16, 2, "per entry at 16")
    series("platform calls of a read-back alone, entries", "BM_PlatformCallsOfAReadBack",
           "per_entry", 16, 2, "per entry at 16")
    series("AccessCheck, DACL entries", "BM_AccessCheck", "per_entry", 16, 1.5,
           "per entry at 16")
    series("AccessCheck, token groups", "BM_AccessCheckTokenGroups", "per_group", 16, 1.5,
           "per group at 16")
    single("IsUserAllowedAccess, grant path", "BM_IsUserAllowedAccessGranted",
           "BM_CreateAndDeleteOneFile", "a bare create and delete", None)
    single("IsUserAllowedAccess, probe path", "BM_IsUserAllowedAccessByProbe",
           "BM_CreateAndDeleteOneFile", "a bare create and delete", 2)

    single("sd find walk of 100,000 files, as nobody", "BM_SdFindWalk/iterations:3/real_time",
           "BM_BareDirectoryWalk/iterations:3/real_time", "a bare listing walk of the tree", 2)
    single("the kernel calls alone of sd find's walk, through the C library",
           "BM_KernelCallsOfSdFind/iterations:3/real_time",
           "BM_KernelCallsOfTheBareWalk/iterations:3/real_time",
           "the kernel calls alone of the bare walk", None)
    # The least sd find can cost: the bare walk, and the kernel calls sd find makes on top of it
    # with no work of its own around them.
    walk_names = ["BM_BareDirectoryWalk/iterations:3/real_time",
                  "BM_KernelCallsOfSdFind/iterations:3/real_time",
                  "BM_KernelCallsOfTheBareWalk/iterations:3/real_time"]
    if all(n in runs for n in walk_names):
        bare, calls, bare_calls = (ns(runs[n]) for n in walk_names)
        least = bare + calls - bare_calls
        rows.append(("the least an sd find walk can cost: the bare walk and sd find's added kernel "
                     "calls", fmt(least), f"a bare listing walk of the tree: {fmt(bare)}",
                     f"{least / bare:.2f}", "—", "—"))

    lines = ["| figure | measured | floor | ratio | target | met? |",
             "| --- | --- | --- | --- | --- | --- |"]
    lines += ["| " + " | ".join(r) + " |" for r in rows]
    text = "\n".join(lines) + "\n"
    with open(out_path, "w") as f:
        f.write(text)
    sys.stdout.write(text)


if __name__ == "__main__":
    main()
