"""mossfit fold FILE: the two sweeps of a spectrum added about their folding point."""


from .common import reading_options


def add_parser(sub):
    f = sub.add_parser("fold", help="fold the two sweeps of a spectrum about its folding point")
    f.add_argument("file")
    f.add_argument("--mirror", type=float, default=None, metavar="CHANNEL",
                   help="folding point (data channel from 0; default: found from the counts)")
    f.add_argument("--out", metavar="FILE", help="write the folded spectrum (channel counts, "
                   "and velocities when calibrated; the folding point in its header)")
    f.add_argument("--calibration", metavar="FOIL",
                   help="a calibration (JSON from 'mossfit calibrate', or a foil): fold about "
                        "its mirror point and write velocities")
    f.add_argument("--exclude", default="", metavar="LIST",
                   help="channels to leave out, e.g. 0-3,511")
    reading_options(f)
    return f


def run(args):
    from ..readers import write_spectrum
    from .common import read_input
    from .common import load_calibration
    s = read_input(args.file, args)
    if args.calibration:
        s = load_calibration(args.calibration, "", args).apply(s)
    f = s.fold(args.mirror)
    m, err = f.meta["folded_about"], f.meta["mirror_err"]
    how = f.meta["mirror_from"]
    print(f"Read as: {s.form}")
    print(f"Folded about channel {m:.4f}" + (f" +/- {err:.4f}" if err is not None else "")
          + f" ({how}); {f.n} channels from channel {f.meta['first_channel']}")
    if args.out:
        md = dict(s.metadata)
        md["folded_about"] = m
        if err is not None:
            md["folded_about_err"] = err
        md["first_channel_of_source"] = f.meta["first_channel"]
        write_spectrum(f, args.out, form="channel" if f.axis is None else "channel-velocity",
                       metadata=md,
                       header=[f"folded from {s.name}"])
        print(f"Written: {args.out}")
    return 0
