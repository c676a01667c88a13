"""Plot the demo spectra: one panel per panel name, curves of the same panel overlaid.

    plot_spectra.py OUTPUT.png CSV_DIR 'panel|label|model name=value ...' ...

Each curve is read from CSV_DIR/label.csv (mosspec's channel,velocity,value). Every
panel shows relative transmission, lines as dips, as spectra are published: a model
that returns absorption A (positive lines) is drawn as 1 - A/max A; one that returns
transmission T (parl: 1 - amplitude * A/max A) as 1 - (1 - T)/(1 - min T), the same
quantity. The deepest channel of every curve is therefore at 0 and the baseline at 1.
"""
import csv
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

# The exports whose output is transmission; every other one returns absorption.
TRANSMISSION = {"parl"}


def read_curve(path):
    velocity, value = [], []
    with open(path, newline="") as f:
        rows = csv.reader(f)
        next(rows)
        for row in rows:
            velocity.append(float(row[1]))
            value.append(float(row[2]))
    return velocity, value


def relative_transmission(model, value):
    if model in TRANSMISSION:
        depth = 1.0 - min(value)
        return [1.0 - (1.0 - t) / depth for t in value]
    peak = max(value)
    return [1.0 - a / peak for a in value]


def main(argv):
    if len(argv) < 3:
        sys.exit("usage: plot_spectra.py OUTPUT.png CSV_DIR 'panel|label|command' ...")
    output, csv_dir = argv[0], argv[1]
    panels = {}
    for entry in argv[2:]:
        panel, label, command = (part.strip() for part in entry.split("|", 2))
        model, *args = command.split()
        panels.setdefault(panel, []).append((label, model, args))

    cols = 3
    rows = (len(panels) + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(5.2 * cols, 3.7 * rows),
                             layout="constrained", squeeze=False)
    for ax in axes.flat[len(panels):]:
        ax.set_visible(False)
    for ax, (panel, curves) in zip(axes.flat, panels.items()):
        lows, v_min, v_max = [], float("inf"), float("-inf")
        for label, model, args in curves:
            velocity, value = read_curve(f"{csv_dir}/{label}.csv")
            y = relative_transmission(model, value)
            # A legend entry names what differs between overlaid curves.
            name = label[len(model) + 1:] if label.startswith(model + "-") else label
            if args:
                name += " (" + ", ".join(args) + ")"
            ax.plot(velocity, y, lw=1.2, label=name)
            lows.append(min(y))
            v_min, v_max = min(v_min, *velocity), max(v_max, *velocity)
        title = panel
        if len(curves) == 1 and curves[0][2]:
            title += ": " + " ".join(curves[0][2])
        ax.set_title(title)
        ax.set_xlabel("velocity (mm/s)")
        ax.set_ylabel("relative transmission, 1 − A/A$_{max}$")
        ax.set_xlim(v_min, v_max)
        span = 1.0 - min(lows)
        ax.set_ylim(min(lows) - 0.04 * span, 1.0 + 0.04 * span)
        ax.grid(alpha=0.25)
        if len(curves) > 1:
            # Below the axes, never over the curves.
            ax.legend(loc="upper center", bbox_to_anchor=(0.5, -0.2), frameon=False,
                      fontsize="small", handlelength=1.5)
    fig.suptitle("mosslib example spectra (mosspec defaults)")
    fig.savefig(output, dpi=100)


if __name__ == "__main__":
    main(sys.argv[1:])
