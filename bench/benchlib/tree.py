"""Generates a directory tree of a given size, three levels deep."""
import os


def shape(total):
    """(top, middle per top, (leaves per middle dir, extra)) adding to total.

    About the cube root of total at each level. Leaves are spread as evenly
    as the total allows; the first `extra` middle directories get one more."""
    side = max(1, round(total ** (1 / 3)))
    top = min(side, total)
    middle = min(side, (total - top) // top) if top else 0
    mids = top * middle
    leaves = total - top - mids
    return top, middle, divmod(leaves, mids) if mids else (0, 0)


def make(root, total):
    """Creates `total` directories below root; returns the deepest ones."""
    top, middle, (per_mid, extra) = shape(total)
    deepest = []
    mid_index = 0
    for t in range(top):
        top_dir = os.path.join(root, f"t{t:02d}")
        os.mkdir(top_dir)
        for m in range(middle):
            mid_dir = os.path.join(top_dir, f"m{m:02d}")
            os.mkdir(mid_dir)
            count = per_mid + (1 if mid_index < extra else 0)
            for leaf in range(count):
                leaf_dir = os.path.join(mid_dir, f"l{leaf:03d}")
                os.mkdir(leaf_dir)
                deepest.append(leaf_dir)
            mid_index += 1
    return deepest
