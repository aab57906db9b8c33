#!/usr/bin/python3
"""Measures the quality calibration of the tuned encoder (calibratedTableQuality in
imaging/encoder/best_encoder.cpp).

For every user quality q of the ladder, plain `cjpeg -quality q` sets the bar: its mean
SSIM and mean butteraugli over each corpus (the Kodak set, the photos, and any folder
given with --add-pictures). Our encoder is
measured on a grid of table qualities (the `table=` override, bypassing the current
calibration); for each q the script finds the lowest table quality whose means beat the
bar on both metrics in both corpora by a small margin (linear between grid points) and,
with --share S, at which a share S of each corpus's pictures are each at least as good
as cjpeg by both metrics (means alone let a few easy pictures carry many hard ones). It
prints that point with the file sizes and how many pictures are at least as good there.
The anchors go into kAnchors by hand.

    /usr/bin/python3 bench/encoder/calibrate.py --driver build/bin/vellora-encode-bench \
        [--quick] [--grid 30,38,...] [--ladder 30,40,...] [--margin 0.06] [--share 0.75] \
        [--add-pictures DIR]
"""

import argparse
import math
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import bdrate  # noqa: E402

# The ladder and grid the anchors in best_encoder.cpp were measured with (a single
# picture's measures are far from linear over wide steps, so the grid is dense where
# the anchors fall).
LADDER = [30, 40, 50, 55, 60, 65, 70, 80, 90, 95]
GRID = [30, 38, 42, 44, 46, 50, 54, 56, 58, 62, 64, 65, 66, 67, 68, 70, 71, 72, 73, 74, 75, 76,
        78, 80, 82, 84, 86, 88, 89, 90, 91, 92, 93, 94, 95, 97]


def corpus_means(results, encoder, quality, members):
    points = [results[(encoder, quality, p["name"])] for p in members]
    ssim = sum(p["ssim"] for p in points) / len(points)
    butter = sum(p["butteraugli"] for p in points) / len(points)
    size = sum(p["bytes"] for p in points)
    return ssim, butter, size


def crossing(grid, points, want_ssim, want_butter):
    """The lowest table quality (linear between grid points) whose (ssim, butteraugli)
    reach both wanted values; None when no grid point does. `points` lists (ssim,
    butteraugli) per grid point."""
    previous = None
    for t, (ssim, butter) in zip(grid, points):
        if ssim >= want_ssim and butter <= want_butter:
            if previous is None:
                return t
            # Linear between the last failing grid point and this one, on whichever
            # metric needs more.
            pt, ps, pb = previous
            fs = (want_ssim - ps) / (ssim - ps) if ssim != ps else 1.0
            fb = (pb - want_butter) / (pb - butter) if pb != butter else 1.0
            return pt + (t - pt) * min(1.0, max(0.0, fs, fb))
        previous = (t, ssim, butter)
    return None


def share_needed(results, grid, q, members, share):
    """The table quality at which `share` of the pictures are each at least as good as
    cjpeg at q by both metrics (None: not within the grid)."""
    crossings = []
    for p in members:
        ref = results[("cjpeg", q, p["name"])]
        points = [(results[("table%d" % t, t, p["name"])]["ssim"],
                   results[("table%d" % t, t, p["name"])]["butteraugli"]) for t in grid]
        found = crossing(grid, points, ref["ssim"], ref["butteraugli"])
        crossings.append(math.inf if found is None else found)
    crossings.sort()
    index = max(0, math.ceil(share * len(crossings)) - 1)
    return None if math.isinf(crossings[index]) else crossings[index]


def bracket(grid, table):
    """The grid points around `table` and how far between them it lies (0..1)."""
    low = max([t for t in grid if t <= table], default=grid[0])
    high = min([t for t in grid if t >= table], default=grid[-1])
    return low, high, 0.0 if high == low else (table - low) / (high - low)


def share_at(results, grid, table, q, members):
    """How many pictures are at least as good as cjpeg at q by both metrics at `table`
    (each picture's metrics linear between grid points)."""
    low, high, f = bracket(grid, table)
    good = 0
    for p in members:
        a = results[("table%d" % low, low, p["name"])]
        b = results[("table%d" % high, high, p["name"])]
        ours = {key: a[key] + (b[key] - a[key]) * f for key in ("ssim", "butteraugli")}
        good += bdrate.as_good(ours, results[("cjpeg", q, p["name"])])
    return good


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--driver", required=True)
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--jobs", type=bdrate.positive_int, default=2)
    parser.add_argument("--work", default="/tmp/vellora-encoder-bench")
    parser.add_argument("--grid", help="comma-separated table qualities")
    parser.add_argument("--ladder", help="comma-separated user qualities")
    parser.add_argument("--margin", type=float, default=0.06,
                        help="relative margin on 1-SSIM and on butteraugli")
    parser.add_argument("--share", type=float, default=0.0,
                        help="also this share of the pictures of each corpus at least as good "
                             "as cjpeg by both metrics, each picture on its own (0: means only)")
    parser.add_argument("--add-pictures", action="append", default=[], metavar="DIR",
                        help="the pictures in DIR as one more corpus, scaled like the photos "
                             "(may be given again; see extra-photos.sh), held to their means "
                             "with --added-margin")
    parser.add_argument("--added-margin", type=float, default=0.03,
                        help="relative margin for the means of --add-pictures corpora")
    args = parser.parse_args()

    grid = [int(q) for q in args.grid.split(",")] if args.grid else GRID
    ladder = [int(q) for q in args.ladder.split(",")] if args.ladder else LADDER
    work = os.path.join(args.work, "corpus")
    pictures = (bdrate.prepare_corpus(work, args.quick) +
                bdrate.prepare_folders(work, args.add_pictures))
    cache_dir = os.path.join(args.work, "cache")
    os.makedirs(cache_dir, exist_ok=True)
    variants = [("table%d" % t, ["table=%d" % t]) for t in grid]
    encoders = bdrate.Encoders(args.driver, variants)
    jobs = [("cjpeg", q, p) for q in ladder for p in pictures]
    jobs += [("table%d" % t, t, p) for t in grid for p in pictures]
    bdrate.log("%d encodes, %d jobs at a time" % (len(jobs), args.jobs))
    results = bdrate.measure_all(encoders, jobs, cache_dir, args.jobs, 100)

    corpora = bdrate.corpora_of(pictures)
    shared = bdrate.SHARED_CORPORA
    print("table quality needed per user quality (margin %.0f %%%s)" % (
        args.margin * 100, "" if not args.add_pictures else
        "; added pictures: means, margin %.0f %%" % (args.added_margin * 100)))
    print("%4s | %6s | %s" % ("q", "table", " | ".join(
        "%-6s size %%  ssim ref/ours  butter ref/ours  as good" % n for n, _ in corpora)))
    for q in ladder:
        needed = []
        for name, members in corpora:
            ref_ssim, ref_butter, _ = corpus_means(results, "cjpeg", q, members)
            margin = args.margin if name in shared else args.added_margin
            want_ssim = 1.0 - (1.0 - ref_ssim) * (1.0 - margin)
            want_butter = ref_butter * (1.0 - margin)
            points = [corpus_means(results, "table%d" % t, t, members)[:2] for t in grid]
            found = crossing(grid, points, want_ssim, want_butter)
            if args.share > 0.0 and found is not None and name in shared:
                by_share = share_needed(results, grid, q, members, args.share)
                found = None if by_share is None else max(found, by_share)
            needed.append(found)
        # Rounded up to the tenth that goes into kAnchors.
        table = None if None in needed else math.ceil(max(needed) * 10.0 - 1e-9) / 10.0
        cells = []
        for name, members in corpora:
            ref_ssim, ref_butter, ref_size = corpus_means(results, "cjpeg", q, members)
            if table is None:
                cells.append("%-6s      -" % name)
                continue
            # Our means at the table quality, interpolated like above.
            low, high, f = bracket(grid, table)
            a = corpus_means(results, "table%d" % low, low, members)
            b = corpus_means(results, "table%d" % high, high, members)
            ours = [x + (y - x) * f for x, y in zip(a, b)]
            good = share_at(results, grid, table, q, members)
            cells.append("%-6s %+6.1f  %.4f/%.4f  %.3f/%.3f  %2d/%-2d" % (
                name, (ours[2] / ref_size - 1.0) * 100.0, ref_ssim, ours[0], ref_butter, ours[1],
                good, len(members)))
        print("%4d | %6s | %s" % (q, "%.1f" % table if table is not None else "-",
                                  " | ".join(cells)))


if __name__ == "__main__":
    main()
