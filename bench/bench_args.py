"""Argument types shared by the benchmarks: a bad value is a usage error with its
reason, not a traceback half-way through a run. The scripts put bench/ on their path."""

import argparse


def positive_int(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not a whole number: %r" % text) from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be at least 1: %r" % text)
    return value


def ssim_targets(text):
    try:
        values = [float(t) for t in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError("not comma-separated numbers: %r" % text) from None
    if not values or any(not 0 < v < 1 for v in values):
        raise argparse.ArgumentTypeError("each target must lie between 0 and 1: %r" % text)
    return values
