#!/usr/bin/python3
"""BD-rate benchmark of Vellora's tuned JPEG encoder against cjpeg and guetzli.

Every encoder encodes every picture of the corpus at a ladder of qualities; each
result is decoded with djpeg and scored with
  * SSIM on the decoded RGB picture (skimage, mean over R, G, B; Gaussian window
    sigma 1.5, the constants of Wang et al.), used as -10*log10(1 - SSIM) (dB) so that
    the quality axis is spread evenly, and
  * butteraugli (Debian's binary: max-norm distance, lower is better), used as
    -distance so that higher is better.
BD-rate (Bjontegaard): per picture, log10(bits per pixel) as a piecewise-cubic (PCHIP)
function of the metric, for the anchor (plain `cjpeg -quality q`, baseline 4:2:0) and
for the encoder; the mean difference over the overlapping metric range gives the
average change in file size at equal quality (negative: smaller files). The table shows
the mean over the pictures of each corpus.

Speed: megapixels per second at quality 75 on one core, whole process (reading the PPM,
encoding, writing the file), best of several runs, for every encoder alike.

Results of the reference encoders are cached (they never change); ours is cached by
the hash of the driver binary and the settings overrides.
"""

import argparse
import hashlib
import json
import math
import os
import shutil
import subprocess
import sys
import tempfile
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
from PIL import Image
from scipy.interpolate import PchipInterpolator
from skimage.metrics import structural_similarity

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, os.path.join(ROOT, "bench"))
from bench_args import positive_int  # noqa: E402  (after the path it is found on)
TESTDATA = os.path.join(os.path.dirname(ROOT), "shared", "testdata")

QUICK_KODAK = ["kodim03", "kodim06", "kodim13", "kodim18", "kodim21", "kodim23"]
QUICK_PHOTOS = ["Autumn", "OneStandsOut", "Path"]
FULL_QUALITIES = [30, 40, 50, 60, 70, 80, 90, 95]
QUICK_QUALITIES = FULL_QUALITIES  # a shorter ladder skews BD-rate (measured)
GUETZLI_QUALITIES = [84, 90, 95]  # guetzli refuses anything below 84
GUETZLI_FULL = ["kodim03", "kodim07", "kodim23"]
GUETZLI_QUICK = ["kodim23"]
SPEED_PICTURES_QUICK = ["Path"]
SPEED_PICTURES = ["Kite", "Autumn", "Path"]
PHOTO_BOX = (1280, 800)
SHARED_CORPORA = ("kodak", "photos")


def log(message):
    print(message, file=sys.stderr, flush=True)


def quality_list(text):
    try:
        values = [int(q) for q in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError("not comma-separated qualities: %r" % text) from None
    if any(not 1 <= q <= 100 for q in values):
        raise argparse.ArgumentTypeError("qualities run from 1 to 100: %r" % text)
    return values


def measure_all(encoders, jobs, cache_dir, workers, every):
    """Measures every (encoder, quality, picture) job, `workers` at a time. Ctrl-C ends
    the encodes under way; the queued ones are dropped rather than waited for (hours)."""
    results = {}
    start = time.time()
    pool = ThreadPoolExecutor(max_workers=workers)
    try:
        futures = {pool.submit(measure, encoders, e, q, p, cache_dir): (e, q, p["name"])
                   for e, q, p in jobs}
        for done, future in enumerate(futures, 1):
            results[futures[future]] = future.result()
            if done % every == 0:
                log("  %d/%d (%.0f s)" % (done, len(jobs), time.time() - start))
    except BaseException:
        pool.shutdown(wait=False, cancel_futures=True)
        raise
    pool.shutdown()
    return results


def prepared(work, corpus, name, source, scale, label=None):
    """The picture as PPM (cjpeg's and our driver's input) and PNG (the butteraugli
    reference), scaled to fit 1280x800 (Lanczos) when `scale`."""
    ppm = os.path.join(work, name + ".ppm")
    png = os.path.join(work, name + ".png")
    if not (os.path.exists(ppm) and os.path.exists(png)):
        image = Image.open(source).convert("RGB")
        if scale:
            image.thumbnail(PHOTO_BOX, Image.LANCZOS)
        # Written under a temporary name first: an interrupted run must not leave a
        # truncated picture that later runs would take as prepared.
        image.save(ppm + ".part", format="PPM")
        image.save(png + ".part", format="PNG")
        os.replace(ppm + ".part", ppm)
        os.replace(png + ".part", png)
    return {"name": label or name, "corpus": corpus, "ppm": ppm, "png": png}


def prepare_corpus(work, quick):
    """The shared sets: the Kodak pictures as they are, the photos scaled down."""
    os.makedirs(work, exist_ok=True)
    kodak_dir = os.path.join(TESTDATA, "kodak")
    photo_dir = os.path.join(TESTDATA, "photos")
    kodak = sorted(f[:-4] for f in os.listdir(kodak_dir) if f.endswith(".png"))
    photos = sorted(f[:-4] for f in os.listdir(photo_dir) if f.endswith(".jpg"))
    if quick:
        kodak = [k for k in kodak if k in QUICK_KODAK]
        photos = [p for p in photos if p in QUICK_PHOTOS]
    return ([prepared(work, "kodak", k, os.path.join(kodak_dir, k + ".png"), False)
             for k in kodak] +
            [prepared(work, "photos", p, os.path.join(photo_dir, p + ".jpg"), True)
             for p in photos])


def prepare_folders(work, folders):
    """Pictures of the caller's own (PNG, JPEG, PPM, BMP), one corpus per folder named
    after it (made unique), scaled like the photos. Each folder's prepared copies live
    apart, keyed by its path, so that two folders may hold pictures of the same name."""
    pictures = []
    taken = {*SHARED_CORPORA, "all"}  # "all" names the summary row
    for folder in folders:
        folder = os.path.abspath(folder)
        base = os.path.basename(folder.rstrip("/")) or "pictures"
        corpus, number = base, 1
        while corpus in taken:
            number += 1
            corpus = "%s-%d" % (base, number)
        taken.add(corpus)
        place = os.path.join(work, "own-" + hashlib.sha1(folder.encode()).hexdigest()[:12])
        os.makedirs(place, exist_ok=True)
        names = sorted(f for f in os.listdir(folder)
                       if f.lower().endswith((".png", ".jpg", ".jpeg", ".ppm", ".bmp")))
        if not names:
            sys.exit("no PNG, JPEG, PPM or BMP pictures in " + folder)
        for f in names:
            stem = os.path.splitext(f)[0]
            # The prepared copy is named by the source's content too, so that a picture
            # changed in place is prepared again.
            copy = "%s-%s" % (stem, file_hash(os.path.join(folder, f)))
            picture = prepared(place, corpus, copy, os.path.join(folder, f), True,
                               corpus + "/" + stem)
            # Results are cached by picture name; the content keeps folders apart.
            picture["cache"] = file_hash(picture["ppm"])
            pictures.append(picture)
    return pictures


def corpora_of(pictures):
    """(corpus name, its pictures) for each corpus, in the order they first appear."""
    names = dict.fromkeys(p["corpus"] for p in pictures)
    return [(name, [p for p in pictures if p["corpus"] == name]) for name in names]


def file_hash(path):
    with open(path, "rb") as f:
        return hashlib.sha1(f.read()).hexdigest()[:12]


def find_peer(given, names):
    """The path of an optional peer encoder: as given, or the first of `names` found on
    the PATH (or at the path itself)."""
    if given:
        found = given if os.path.exists(given) else shutil.which(given)
        if not found:
            sys.exit("bdrate: %s not found" % given)  # asked for by name: not a silent skip
        return found
    for name in names:
        found = shutil.which(name) or (name if os.path.isabs(name) and os.path.exists(name)
                                       else None)
        if found:
            return found
    return None


class Encoders:
    def __init__(self, driver, variants, mozjpeg=None, cjpegli=None):
        self.driver = driver
        driver_hash = file_hash(driver)
        # name -> (command builder, cache tag)
        self.table = {
            "cjpeg": (lambda q, src, png, out: ["cjpeg", "-quality", str(q), "-outfile", out, src],
                      "ref"),
            "cjpeg -optimize -progressive": (
                lambda q, src, png, out: ["cjpeg", "-quality", str(q), "-optimize", "-progressive",
                                          "-outfile", out, src], "ref"),
            "guetzli": (lambda q, src, png, out: ["guetzli", "--quality", str(q), png, out], "ref"),
        }
        # Peers, when present: mozjpeg with 4:2:0 like the others (its defaults are
        # progressive with trellis quantisation), jpegli's cjpegli at 4:2:0.
        if mozjpeg:
            self.table["mozjpeg"] = (
                lambda q, src, png, out: [mozjpeg, "-quality", str(q), "-sample", "2x2",
                                          "-outfile", out, src], "moz-" + file_hash(mozjpeg))
        if cjpegli:
            self.table["jpegli"] = (
                lambda q, src, png, out: [cjpegli, src, out, "-q", str(q),
                                          "--chroma_subsampling=420"], "li-" + file_hash(cjpegli))
        for name, overrides in variants:
            args = []
            for assignment in overrides:
                args += ["--set", assignment]
            tag = driver_hash + "-" + hashlib.sha1(" ".join(args).encode()).hexdigest()[:8]
            self.table[name] = (
                lambda q, src, png, out, args=args: [driver] + args + [str(q), src, out], tag)

    def command(self, encoder, quality, picture, out):
        return self.table[encoder][0](quality, picture["ppm"], picture["png"], out)

    def tag(self, encoder):
        return self.table[encoder][1]


def read_decoded(jpeg, scratch):
    ppm = os.path.join(scratch, "decoded.ppm")
    subprocess.run(["djpeg", "-outfile", ppm, jpeg], check=True)
    return np.asarray(Image.open(ppm).convert("RGB"))


def measure(encoders, encoder, quality, picture, cache_dir):
    key = "%s|%s|%s|%d" % (encoder, encoders.tag(encoder), picture.get("cache", picture["name"]),
                           quality)
    cache_file = os.path.join(cache_dir, hashlib.sha1(key.encode()).hexdigest() + ".json")
    if os.path.exists(cache_file):
        with open(cache_file) as f:
            return json.load(f)
    scratch = tempfile.mkdtemp(prefix="vellora-bench-")
    try:
        jpeg = os.path.join(scratch, "out.jpg")
        subprocess.run(encoders.command(encoder, quality, picture, jpeg), check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        size = os.path.getsize(jpeg)
        original = np.asarray(Image.open(picture["png"]).convert("RGB"))
        decoded = read_decoded(jpeg, scratch)
        ssim = structural_similarity(original, decoded, channel_axis=2, data_range=255,
                                     gaussian_weights=True, sigma=1.5,
                                     use_sample_covariance=False)
        decoded_png = os.path.join(scratch, "decoded.png")
        Image.fromarray(decoded).save(decoded_png, compress_level=1)
        butter = subprocess.run(["butteraugli", picture["png"], decoded_png], check=True,
                                capture_output=True, text=True).stdout.split()[0]
        result = {"bytes": size, "pixels": int(original.shape[0] * original.shape[1]),
                  "ssim": float(ssim), "butteraugli": float(butter)}
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    with open(cache_file, "w") as f:
        json.dump(result, f)
    return result


def metric_value(point, metric):
    if metric == "ssim":
        return -10.0 * math.log10(max(1e-10, 1.0 - point["ssim"]))
    return -point["butteraugli"]


def curve(points, metric):
    """(metric, log10 bpp) sorted by metric, duplicates of the metric merged."""
    pairs = sorted((metric_value(p, metric), math.log10(p["bytes"] * 8.0 / p["pixels"]))
                   for p in points)
    merged = []
    for m, r in pairs:
        if merged and abs(m - merged[-1][0]) < 1e-9:
            merged[-1] = (m, min(r, merged[-1][1]))
        else:
            merged.append((m, r))
    return merged


def bd_rate(anchor_points, test_points, metric, low=-math.inf, high=math.inf):
    """Mean change in file size (%) at equal metric over the overlap of both curves,
    optionally restricted to [low, high] of the metric."""
    a = curve(anchor_points, metric)
    t = curve(test_points, metric)
    if len(a) < 2 or len(t) < 2:
        return None
    low = max(low, a[0][0], t[0][0])
    high = min(high, a[-1][0], t[-1][0])
    if high <= low:
        return None
    fa = PchipInterpolator([m for m, _ in a], [r for _, r in a])
    ft = PchipInterpolator([m for m, _ in t], [r for _, r in t])
    difference = (ft.integrate(low, high) - fa.integrate(low, high)) / (high - low)
    return (10.0 ** difference - 1.0) * 100.0


def mean(values):
    values = [v for v in values if v is not None]
    return sum(values) / len(values) if values else None


def speed(encoders, encoder, pictures, runs):
    """Megapixels per second at quality 75: whole process, pinned to one core."""
    pin = ["taskset", "-c", "0"] if shutil.which("taskset") else []
    total_pixels = 0
    total_seconds = 0.0
    scratch = tempfile.mkdtemp(prefix="vellora-speed-")
    try:
        for picture in pictures:
            out = os.path.join(scratch, "out.jpg")
            command = pin + encoders.command(encoder, 75, picture, out)
            best = float("inf")
            for _ in range(runs):
                start = time.perf_counter()
                subprocess.run(command, check=True, stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL)
                best = min(best, time.perf_counter() - start)
            with Image.open(picture["png"]) as image:
                total_pixels += image.width * image.height
            total_seconds += best
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return total_pixels / total_seconds / 1e6


def format_cell(value, suffix=" %"):
    return "%7.1f%s" % (value, suffix) if value is not None else "      -  "


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--driver", required=True, help="vellora-encode-bench binary")
    parser.add_argument("--quick", action="store_true", help="a few pictures and qualities")
    parser.add_argument("--jobs", type=positive_int, default=2)
    parser.add_argument("--work", default=os.path.join(tempfile.gettempdir(),
                                                       "vellora-encoder-bench"))
    parser.add_argument("--variant", action="append", default=[],
                        help="NAME:name=value,name=value: also run our encoder with overrides")
    parser.add_argument("--no-guetzli", action="store_true")
    parser.add_argument("--no-speed", action="store_true")
    parser.add_argument("--no-progressive", action="store_true",
                        help="leave out cjpeg -optimize -progressive")
    parser.add_argument("--ablation", action="store_true",
                        help="also our encoder with one technique switched off at a time")
    parser.add_argument("--mozjpeg", help="mozjpeg's cjpeg (default: found on the PATH as "
                        "mozjpeg-cjpeg, mozcjpeg or /opt/mozjpeg/bin/cjpeg)")
    parser.add_argument("--cjpegli", help="jpegli's cjpegli (default: found on the PATH)")
    parser.add_argument("--qualities", type=quality_list,
                        help="comma-separated ladder (overrides the mode's)")
    parser.add_argument("--pictures", action="append", default=[], metavar="DIR",
                        help="score the pictures in DIR instead of the shared sets, scaled "
                        "like the photos; one corpus per DIR (may be given again)")
    args = parser.parse_args()
    for folder in args.pictures:
        if not os.path.isdir(folder):
            parser.error("--pictures: no folder %s" % folder)

    work = os.path.join(args.work, "corpus")
    pictures = (prepare_folders(work, args.pictures) if args.pictures else
                prepare_corpus(work, args.quick))
    cache_dir = os.path.join(args.work, "cache")
    os.makedirs(cache_dir, exist_ok=True)
    qualities = (args.qualities if args.qualities else
                 QUICK_QUALITIES if args.quick else FULL_QUALITIES)
    variants = [("vellora", [])]
    if args.ablation:
        variants += [("vellora no-adaptive-zeroing", ["zero=0.5", "aq=0", "tail=0"]),
                     ("vellora no-tail-trimming", ["tail=0"]),
                     ("vellora example-tables", ["annex=1"]),
                     ("vellora no-chroma-sharpening", ["sharpen=0"]),
                     ("vellora no-deringing", ["dering=0"]),
                     ("vellora round-0.5", ["round=0.5"]),
                     ("vellora libjpeg-scans", ["scans=1"]),
                     ("vellora sequential", ["scans=0"]),
                     ("vellora 4:4:4", ["subsample=0"])]
    for variant in args.variant:
        name, _, overrides = variant.partition(":")
        variants.append(("vellora " + name, [o for o in overrides.split(",") if o]))
    mozjpeg = find_peer(args.mozjpeg, ["mozjpeg-cjpeg", "mozcjpeg", "/opt/mozjpeg/bin/cjpeg"])
    cjpegli = find_peer(args.cjpegli, ["cjpegli"])
    # Said, so that a table without them is not read as a table of everything there is.
    for name, path, hint in (("mozjpeg", mozjpeg, "--mozjpeg PATH"),
                             ("jpegli", cjpegli, "--cjpegli PATH")):
        if not path:
            log("%s not found: left out of the comparison (give %s to include it)" % (name, hint))
    # The tools every run needs, looked for before hours of encodes, not after.
    needed = ["cjpeg", "djpeg", "butteraugli"] + ([] if args.no_guetzli else ["guetzli"])
    missing = [tool for tool in needed if not shutil.which(tool)]
    if missing:
        sys.exit("bdrate: not found on the PATH: %s (scripts/install-deps.sh installs them)" %
                 ", ".join(missing))
    encoders = Encoders(args.driver, variants, mozjpeg, cjpegli)
    peers = [n for n in ("mozjpeg", "jpegli") if n in encoders.table]
    names = (["cjpeg"] + ([] if args.no_progressive else ["cjpeg -optimize -progressive"]) +
             peers + [n for n, _ in variants])

    jobs = [(e, q, p) for e in names for p in pictures for q in qualities]
    guetzli_names = [] if args.no_guetzli else (GUETZLI_QUICK if args.quick else GUETZLI_FULL)
    guetzli_pictures = [p for p in pictures if p["name"] in guetzli_names]
    jobs += [("guetzli", q, p) for p in guetzli_pictures for q in GUETZLI_QUALITIES]
    log("%d encodes (%d pictures, qualities %s), %d jobs at a time" %
        (len(jobs), len(pictures), qualities, args.jobs))
    start = time.time()
    results = measure_all(encoders, jobs, cache_dir, args.jobs, 50)
    log("quality measurements took %.0f s" % (time.time() - start))

    def points(encoder, picture, only=None):
        return [results[(encoder, q, picture["name"])]
                for q in (only or qualities) if (encoder, q, picture["name"]) in results]

    corpora = corpora_of(pictures) + [("all", pictures)]
    header = "%-30s" % "encoder"
    for metric in ("SSIM", "butteraugli"):
        for corpus, _ in corpora:
            header += " | %-9s" % ("%s %s" % (metric[:5], corpus))[:9]
    header += " | MP/s q75"
    print()
    print("BD-rate against plain `cjpeg -quality q` (negative = smaller files at equal quality)")
    print("qualities %s; %s (photos scaled to fit 1280x800)" %
          (",".join(map(str, qualities)),
           ", ".join("%d in %s" % (len(members), c) for c, members in corpora[:-1])))
    print(header)
    print("-" * len(header))
    speeds = {}
    if not args.no_speed:
        wanted = SPEED_PICTURES_QUICK if args.quick else SPEED_PICTURES
        speed_pictures = [p for p in pictures if p["name"] in wanted] or pictures[:1]
        for name in names:
            speeds[name] = speed(encoders, name, speed_pictures, 10)
    for name in names:
        row = "%-30s" % name
        for metric in ("ssim", "butteraugli"):
            for _, members in corpora:
                row += " | " + format_cell(mean(
                    bd_rate(points("cjpeg", p), points(name, p), metric) for p in members))
        row += " | %8.1f" % speeds[name] if name in speeds else " |     -"
        print(row)
    print()
    print("per picture: BD-rate by SSIM / by butteraugli against plain cjpeg")
    shown = names[1:]
    print("%-14s" % "picture" + "".join(" | %-15s" % n[:15] for n in shown))
    for p in pictures:
        row = "%-14s" % p["name"]
        for name in shown:
            s, b = (bd_rate(points("cjpeg", p), points(name, p), m)
                    for m in ("ssim", "butteraugli"))
            row += " | %6.1f / %6.1f" % (s if s is not None else math.nan,
                                         b if b is not None else math.nan)
        print(row)
    spans = []
    for m in ("ssim", "butteraugli"):
        rates = [x for x in (bd_rate(points("cjpeg", p), points("vellora", p), m)
                             for p in pictures) if x is not None]
        spans.append((min(rates), max(rates)) if rates else (math.nan, math.nan))
    # (No BD-rate from fewer than two qualities.)
    print("vellora per picture: SSIM %.1f .. %.1f %%, butteraugli %.1f .. %.1f %%" %
          (spans[0] + spans[1]))
    print_calibration(results, corpora[:-1], qualities)
    if not args.no_speed:
        print_speed_floor(args.driver, speed_pictures[0])
    if guetzli_pictures:
        print()
        print("guetzli overlap (%s at q %s; BD-rate over guetzli's quality range only)" %
              (", ".join(p["name"] for p in guetzli_pictures),
               ",".join(map(str, GUETZLI_QUALITIES))))
        for name in ["guetzli"] + [n for n in names if n.startswith("vellora")]:
            row = "%-30s" % name
            for metric in ("ssim", "butteraugli"):
                values = []
                for p in guetzli_pictures:
                    g = curve(points("guetzli", p, GUETZLI_QUALITIES), metric)
                    anchor = points("cjpeg", p)
                    test = points(name, p, GUETZLI_QUALITIES if name == "guetzli" else None)
                    values.append(bd_rate(anchor, test, metric, g[0][0], g[-1][0]))
                row += " | %-9s" % metric[:9] + " " + format_cell(mean(values))
            print(row)
        if not args.no_speed:
            print("guetzli speed (q84, one run, whole process): %.3f MP/s" %
                  guetzli_speed(guetzli_pictures[0]))


def mean_of(results, encoder, quality, members, key):
    return sum(results[(encoder, quality, p["name"])][key] for p in members) / len(members)


def as_good(ours, reference):
    """Whether one measured point is at least as good as another by both metrics."""
    return ours["ssim"] >= reference["ssim"] and ours["butteraugli"] <= reference["butteraugli"]


def print_calibration(results, corpora, qualities):
    """Our quality q beside `cjpeg -quality q`: means per corpus. At every quality from
    30 to 95 ours must be at least as good by both metrics, and smaller. "as good"
    counts the pictures at least as good by both metrics each on its own (the
    calibration aims at three in four on the full corpus)."""
    print()
    print("quality calibration: vellora at q against plain cjpeg at q (means per corpus; "
          "size: our bytes against cjpeg's)")
    header = "%4s" % "q"
    for name, _ in corpora:
        header += " | %-6s SSIM cjpeg/ours  butter cjpeg/ours   size  as good" % name
    print(header + " | calibrated")
    for q in qualities:
        row = "%4d" % q
        good = True
        for _, members in corpora:
            ref_s, our_s = (mean_of(results, e, q, members, "ssim") for e in ("cjpeg", "vellora"))
            ref_b, our_b = (mean_of(results, e, q, members, "butteraugli")
                            for e in ("cjpeg", "vellora"))
            ref_n, our_n = (mean_of(results, e, q, members, "bytes") for e in ("cjpeg", "vellora"))
            good = good and our_s >= ref_s and our_b <= ref_b and our_n < ref_n
            # Pictures at least as good as cjpeg's by both metrics, each on its own.
            alike = sum(as_good(results[("vellora", q, p["name"])], results[("cjpeg", q, p["name"])])
                        for p in members)
            row += " | %-6s  %.4f/%.4f    %6.3f/%6.3f  %+5.1f %% %2d/%-2d" % (
                "", ref_s, our_s, ref_b, our_b, (our_n / ref_n - 1.0) * 100.0, alike,
                len(members))
        print(row + " | " + ("yes" if good else "NO") if 30 <= q <= 95 else row)


def best_rate(command, parse, runs):
    best = 0.0
    for _ in range(runs):
        out = subprocess.run(command, check=True, capture_output=True, text=True).stdout
        best = max(best, parse(out))
    return best


def print_speed_floor(driver, picture):
    """The encoder alone, in process: ours against libjpeg-turbo's baseline encoder
    (tjbench, 4:2:0, quality 75) on the same picture in the same run, each on one core,
    and ours again with every core it may use."""
    if not shutil.which("tjbench"):
        print("speed floor: tjbench not found (libjpeg-turbo-progs)")
        return
    pin = ["taskset", "-c", "0"] if shutil.which("taskset") else []
    scratch = tempfile.mkdtemp(prefix="vellora-speed-")
    try:
        out = os.path.join(scratch, "out.jpg")
        ours = [driver, "--repeat", "10", "75", picture["ppm"], out]
        ours_single = [driver, "--set", "threads=1", "--repeat", "10", "75", picture["ppm"], out]
        parse_ours = lambda text: float(text.split()[2])  # "<ms> ms <MP/s> MP/s"

        def parse_tj(text):
            rows = [line.split() for line in text.splitlines() if "4:2:0" in line]
            return float(rows[-1][6])
        tj = ["tjbench", picture["ppm"], "75", "-subsamp", "420", "-quiet", "-benchtime", "1",
              "-warmup", "0", "-nowrite"]
        # Interleaved, best of three each, so that both see the same machine.
        ours_one = tj_one = ours_all = 0.0
        for _ in range(3):
            tj_one = max(tj_one, best_rate(pin + tj, parse_tj, 1))
            ours_one = max(ours_one, best_rate(pin + ours_single, parse_ours, 1))
            ours_all = max(ours_all, best_rate(ours, parse_ours, 1))
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    print()
    print("speed floor (%s, q75, in process, best of 3): tjbench baseline %.1f MP/s; "
          "vellora %.1f MP/s on one core = %.3f x (floor 0.12), %.1f MP/s on all cores" %
          (picture["name"], tj_one, ours_one, ours_one / tj_one, ours_all))


def guetzli_speed(picture):
    scratch = tempfile.mkdtemp(prefix="vellora-speed-")
    try:
        start = time.perf_counter()
        subprocess.run(["guetzli", "--quality", "84", picture["png"],
                        os.path.join(scratch, "out.jpg")], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        seconds = time.perf_counter() - start
        with Image.open(picture["png"]) as image:
            return image.width * image.height / seconds / 1e6
    finally:
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    main()
