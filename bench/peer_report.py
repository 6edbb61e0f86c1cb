#!/usr/bin/env python3
"""Sets the peer benchmark's figures on the stand-in beside those on Wine, in µs per operation.

Usage: peer_report.py OUT STANDIN_OUTPUT WINE_OUTPUT, each output of lines "OPERATION N US".
"""
import sys


def load(path):
    figures = {}
    with open(path) as f:
        for line in f:
            parts = line.split()
            if len(parts) == 3:
                figures[(parts[0], int(parts[1]))] = float(parts[2])
    return figures


def cell(standin, wine):
    if standin is None or wine is None:
        return "missing"
    mark = "" if standin <= wine else " (slower)"
    return f"{standin:.2f} / {wine:.2f}{mark}"


def main():
    out_path, standin_path, wine_path = sys.argv[1:4]
    standin, wine = load(standin_path), load(wine_path)
    operations = ["build", "read-back", "AccessCheck"]
    counts = sorted({n for (_, n) in standin} | {n for (_, n) in wine})
    lines = [
        "# Peer benchmark: the stand-in beside Wine",
        "",
        "The same program (bench/peer_bench.cpp) built for both and run in one sitting;"
        " µs per operation, stand-in / Wine.",
        "",
        "| entries | " + " | ".join(f"{op}: stand-in / Wine" for op in operations) + " |",
        "| --- | " + " | ".join("---" for _ in operations) + " |",
    ]
    for n in counts:
        row = [cell(standin.get((op, n)), wine.get((op, n))) for op in operations]
        lines.append(f"| {n} | " + " | ".join(row) + " |")
    text = "\n".join(lines) + "\n"
    with open(out_path, "w") as f:
        f.write(text)
    sys.stdout.write(text)


if __name__ == "__main__":
    main()
