"""mossfit models [MODEL]: the catalogue."""


def add_parser(sub):
    m = sub.add_parser("models", help="list the catalogue's models or one model's parameters")
    m.add_argument("model", nargs="?")
    return m


def run(args):
    from .. import catalog
    if args.model:
        print(catalog.describe(args.model))
    else:
        for m in catalog.models().values():
            print(f"{m.name:<14} {m.summary}")
    return 0
