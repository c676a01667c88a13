"""The text forms of measured spectra that laboratories keep, read and written.

Accepted forms (detected from the content; `columns=` and `channel_base=` override):

    counts                 one count per line
    channel counts         channels numbered from 0 or from 1 (detected, stated)
    velocity counts        either column order; the velocities become the axis
    channel velocity counts
    several counts a line  a multichannel-analyser dump, with or without the number
                           of the line's first channel in front
    named columns          a header line such as "velocity,counts" (CSV, TSV, spaces)

Before the numbers may stand any header: free text, '#' comments and 'key: value' or
'key = value' lines, kept as metadata (temperature, field, live time, velocity range
are also read as numbers in K, T, s and mm/s). A comment '# exclude: 0-3, 511'
excludes channels. CRLF line ends, a UTF-8 or UTF-16 byte-order mark and gzip
compression are undone first. Only regular files are read (a FIFO or a device is
refused rather than waited on), of at most MAX_BYTES, holding at most MAX_CHANNELS.
"""

import gzip
import math
import os
import re
import stat
import tempfile
from dataclasses import dataclass, field

import numpy as np

__all__ = ["Reading", "read_text", "write_spectrum", "write_text", "FORMS", "MAX_BYTES",
           "MAX_CHANNELS", "parse_ranges", "ranges_mask", "axis_from_velocities"]

MAX_BYTES = 64 * 2 ** 20
MAX_CHANNELS = 2 ** 20          # the axes' limit on channel positions
MAX_COUNT = 2.0 ** 53           # above this a count is no longer a whole number in a double
ACCEPTED = ("counts; channel counts (from 0 or 1); velocity counts (either order); "
            "channel velocity counts; several counts a line (with or without a leading "
            "channel); named columns (CSV/TSV)")

_COMMENT = ("#", "!", "%", ";", "//")
_SEP = re.compile(r"[\s,;]+")
_KEYVAL = re.compile(r"^\s*([A-Za-z][\w .()/\[\]°-]{0,60}?)\s*[:=]\s*(.*?)\s*$")
_NUMUNIT = re.compile(r"^[+-]?\s*(?:\+/?-|±)?\s*([+-]?(?:\d+\.?\d*|\.\d+)(?:[eE][+-]?\d+)?)\s*(.*)$")

_NAMES = {"channel": ("channel", "channels", "ch", "chan", "chn", "index", "i", "n", "no", "number"),
          "velocity": ("velocity", "vel", "v", "velocity(mm/s)", "velocity[mm/s]", "v(mm/s)",
                       "v[mm/s]", "mm/s", "velocity_mm_s"),
          "counts": ("counts", "count", "cts", "intensity", "y", "n_counts", "transmission",
                     "yield", "data")}


@dataclass
class Reading:
    """What a file holds: counts per channel (NaN where a channel is absent), the
    velocities of a velocity column (or None), excluded channel ranges, the header's
    metadata and free text, and a description of the form that was read."""
    counts: np.ndarray
    velocities: np.ndarray = None
    excluded: list = field(default_factory=list)     # (first, last) channel ranges
    metadata: dict = field(default_factory=dict)
    header: list = field(default_factory=list)
    form: str = ""
    channel_base: int = None
    columns: tuple = ()


def _refuse(where, what):
    raise ValueError(f"{where}: {what}")


def _read_bytes(path):
    where = os.fspath(path)
    try:
        st = os.stat(path)
    except OSError as e:
        _refuse(where, e.strerror or str(e))
    if not stat.S_ISREG(st.st_mode):
        kind = ("a directory" if stat.S_ISDIR(st.st_mode) else "a FIFO" if stat.S_ISFIFO(st.st_mode)
                else "a device" if stat.S_ISCHR(st.st_mode) or stat.S_ISBLK(st.st_mode)
                else "a socket" if stat.S_ISSOCK(st.st_mode) else "not a regular file")
        _refuse(where, f"{kind}; a spectrum is read from a regular file")
    if st.st_size > MAX_BYTES:
        _refuse(where, f"{st.st_size} bytes; a spectrum file holds at most {MAX_BYTES} "
                       f"({MAX_CHANNELS} channels)")
    try:
        with open(path, "rb") as f:
            data = f.read(MAX_BYTES + 1)
    except OSError as e:
        _refuse(where, e.strerror or str(e))
    if data[:2] == b"\x1f\x8b":
        try:
            with gzip.GzipFile(fileobj=__import__("io").BytesIO(data)) as g:
                data = g.read(MAX_BYTES + 1)
        except (OSError, EOFError) as e:
            _refuse(where, f"a damaged gzip file ({e})")
        if len(data) > MAX_BYTES:
            _refuse(where, f"more than {MAX_BYTES} bytes once uncompressed")
    return data


def _decode(data):
    if data[:3] == b"\xef\xbb\xbf":
        return data[3:].decode("utf-8", errors="replace")
    if data[:2] in (b"\xff\xfe", b"\xfe\xff"):
        return data.decode("utf-16", errors="replace")
    return data.decode("utf-8", errors="replace")


def parse_ranges(text, where="exclude"):
    """'0-3, 511' -> [(0, 3), (511, 511)]; ranges are kept as pairs, never expanded."""
    out = []
    for part in filter(None, re.split(r"[,\s]+", str(text).strip())):
        m = re.fullmatch(r"(\d+)(?:-(\d+))?", part)
        if not m:
            raise ValueError(f"{where}: exclude {part!r} is not a channel or range")
        lo = int(m.group(1))
        hi = int(m.group(2)) if m.group(2) is not None else lo
        if hi < lo:
            raise ValueError(f"{where}: exclude {part!r} runs backwards")
        out.append((lo, hi))
    return out


def ranges_mask(ranges, n, where="exclude"):
    """A boolean mask of n channels, True on the channels of `ranges` (ints or pairs);
    a channel outside 0..n-1 is refused before anything is expanded."""
    m = np.zeros(n, dtype=bool)
    for r in ranges:
        lo, hi = (r, r) if np.isscalar(r) else r
        lo, hi = int(lo), int(hi)
        for c in (lo, hi):
            if not 0 <= c < n:
                raise ValueError(f"{where}: excluded channel {c} is outside 0..{n - 1}")
        m[lo:hi + 1] = True
    return m


def _meta_value(key, value, metadata):
    """Store a header value: as a number where it reads as one (unit kept beside it),
    and the usual quantities also under standard names and units."""
    k = re.sub(r"[^\w]+", "_", key.strip().lower()).strip("_")
    if not k:
        return
    m = _NUMUNIT.match(value)
    if m:
        try:
            x = float(m.group(1))
        except ValueError:
            x = None
    else:
        x = None
    if x is not None and not re.fullmatch(r"[^\W\d]?[\w°%/.^-]{0,10}", (m.group(2) or "").strip()):
        x = None     # a number followed by words: kept as text
    metadata[k] = x if x is not None and math.isfinite(x) else value
    if x is None or not math.isfinite(x):
        return
    unit = (m.group(2) or "").strip().lower().replace(" ", "")
    if unit:
        metadata.setdefault("units", {})[k] = m.group(2).strip()
    if k.startswith(("temperature", "temp")) or k == "t":
        metadata["temperature_K"] = x + 273.15 if unit in ("c", "°c", "degc") else x
    elif "live" in k and "time" in k or k == "livetime":
        metadata["live_time_s"] = x * {"min": 60.0, "h": 3600.0, "ms": 1e-3}.get(unit, 1.0)
    elif k.startswith(("velocity_range", "vmax", "v_max", "velocity", "max_velocity")):
        metadata["velocity_range_mm_s"] = abs(x)
    elif k.startswith(("field", "applied_field", "b", "h")) and unit in ("t", "kg", "g", "mt", ""):
        metadata["field_T"] = x * {"kg": 0.1, "g": 1e-4, "mt": 1e-3}.get(unit, 1.0)


def _is_numbers(tokens):
    try:
        for t in tokens:
            float(t)
    except ValueError:
        return False
    return True


def _colname(tok):
    t = tok.strip().strip('"\'').lower().replace(" ", "")
    for canon, names in _NAMES.items():
        if t in names or t.split("(")[0] in names or t.split("[")[0] in names:
            return canon
    return None


def read_text(path, columns=None, channel_base=None):
    """A Reading of a spectrum file in any of the forms of the module docstring.

    columns: None (detect), or the roles of the columns in order, e.g.
    ('velocity', 'counts'), ('counts', 'velocity'), ('channel', 'counts'), ('counts',);
    channel_base: None (detect), 0 or 1."""
    where = os.fspath(path)
    text = _decode(_read_bytes(path))
    if columns is not None:
        columns = tuple(c.strip().lower() for c in (columns.split(",") if isinstance(columns, str)
                                                    else columns))
        bad = [c for c in columns if c not in ("channel", "velocity", "counts", "skip")]
        if bad or columns.count("counts") != 1:
            raise ValueError(f"columns {','.join(columns)}: name each column channel, velocity, "
                             f"counts or skip, with exactly one counts")
    if channel_base not in (None, 0, 1):
        raise ValueError(f"channel_base {channel_base!r}: 0 or 1")
    lines = text.splitlines()
    if len(lines) > MAX_CHANNELS + 100000:
        _refuse(where, f"{len(lines)} lines; a spectrum holds at most {MAX_CHANNELS} channels")
    metadata, header, excluded = {}, [], []
    names, names_text = None, None
    bodies, first_line, ncols, short_last, short_last_n = [], None, None, None, 0
    for k, raw_line in enumerate(lines, 1):
        line = raw_line.strip()
        if not line:
            continue
        comment = None
        if line.startswith(_COMMENT):
            comment = line.lstrip("#!%;/").strip()
            body = ""
        else:
            body, hash_, comment = line.partition("#")
            body = body.strip()
            comment = comment.strip() if hash_ else None
        if comment is not None:
            d = re.match(r"exclude\s*:?\s*(.*)$", comment, re.I)
            if d:
                excluded += parse_ranges(d.group(1), f"{where}:{k}")
            elif first_line is None:
                header.append(comment)
                kv = _KEYVAL.match(comment)
                if kv:
                    _meta_value(kv.group(1), kv.group(2), metadata)
        if not body:
            continue
        tokens = _SEP.split(body.strip(" ,;\t"))
        if first_line is None and not _is_numbers(tokens):
            # a header line: key/value, column names or free text
            # (names the data's columns only if the numbers that follow have as many)
            heads = [t for t in re.split(r"[,;\t]", body) if t.strip()] \
                if re.search(r"[,;\t]", body) else tokens
            canon = [_colname(t) for t in heads]
            if names is not None:
                header.append(names_text)
            names, names_text = None, None
            if len(heads) >= 2 and "counts" in canon and sum(map(bool, canon)) >= 2 \
                    and not _KEYVAL.match(body):
                names, names_text = tuple(c or "skip" for c in canon), body
            else:
                header.append(body)
                kv = _KEYVAL.match(body)
                if kv:
                    _meta_value(kv.group(1), kv.group(2), metadata)
            continue
        if first_line is None:
            first_line, ncols = k, len(tokens)
            if names is not None and len(names) != ncols:
                header.append(names_text)
                names = None
            fast = _fast_block(lines[k - 1:], ncols, names is None, where)
            if fast is not None:
                bodies = None
                a, tail = fast
                short_last = None if tail is None else k
                break
        elif short_last is not None:
            _refuse(where, f"line {short_last}: {short_last_n} values, earlier lines have {ncols}; "
                           f"accepted forms: {ACCEPTED}")
        if len(tokens) != ncols:
            if len(tokens) < ncols and ncols >= 3 and names is None:
                short_last, short_last_n = k, len(tokens)   # the last line of a dump may be short
            else:
                _refuse(where, f"line {k}: {len(tokens)} columns, earlier lines have {ncols}; "
                               f"accepted forms: {ACCEPTED}")
        bodies.append(tokens)
        if len(bodies) * max(ncols - 1, 1) > MAX_CHANNELS:
            _refuse(where, f"more than {MAX_CHANNELS} channels; a spectrum holds at most that many")
    if first_line is None:
        _refuse(where, "no data (no line of numbers); accepted forms: " + ACCEPTED)
    if bodies is not None:
        a, tail = _slow_block(bodies, short_last is not None, first_line, where)
    if short_last is not None:
        a = _ragged(a, tail, where)
    r = _interpret(a, names, columns, channel_base, where, short_last is not None)
    r.metadata, r.header, r.excluded = metadata, header, excluded
    _check_counts(r.counts, where)
    return r


def _slow_block(bodies, ragged, first_line, where):
    try:
        if not ragged:
            return np.array(bodies, dtype=np.float64), None
        return np.array(bodies[:-1], dtype=np.float64), np.array(bodies[-1], dtype=np.float64)
    except ValueError:
        for k, toks in enumerate(bodies):
            if not _is_numbers(toks):
                _refuse(where, f"line {first_line + k}: not a number in {' '.join(toks)!r}")
        raise


def _fast_block(rest, ncols, dump_ok, where):
    """The data block in one pass through NumPy when it holds nothing but numbers laid
    out evenly (a dump may end on a shorter line); None sends it the careful way."""
    text = "\n".join(rest)
    if any(ch in text for ch in "#!%/") or len(rest) < 64:
        return None
    lines = sum(map(bool, map(str.strip, rest)))
    if lines * max(ncols - 1, 1) > MAX_CHANNELS + ncols:
        _refuse(where, f"{lines} lines of data; a spectrum holds at most {MAX_CHANNELS} channels")
    flat = text.replace(",", " ").replace(";", " ")
    with np.errstate(all="ignore"):
        import warnings
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            vals = np.fromstring(flat, dtype=np.float64, sep=" ")
    # fromstring stops at a token that is not a number: the count then falls short
    if vals.size == lines * ncols:
        return vals.reshape(lines, ncols), None
    extra = vals.size - (lines - 1) * ncols
    if dump_ok and ncols >= 3 and 0 < extra < ncols:
        last = rest[[k for k, ln in enumerate(rest) if ln.strip(" \t,;")][-1]]
        if len(_SEP.split(last.strip(" ,;\t"))) == extra:
            return vals[:(lines - 1) * ncols].reshape(lines - 1, ncols), vals[(lines - 1) * ncols:]
    return None


def _ragged(a, tail, where):
    # a dump whose last line holds fewer counts: pad with NaN (absent channels)
    pad = np.full(a.shape[1], np.nan)
    pad[:tail.size] = tail
    return np.vstack([a, pad[None, :]]) if a.size else pad[None, :]


def _check_counts(c, where):
    bad = ~np.isfinite(c) & ~np.isnan(c)
    if bad.any():
        i = int(np.flatnonzero(bad)[0])
        _refuse(where, f"channel {i}: count {c[i]:g} is not finite (NaN marks a channel left out)")
    big = c > MAX_COUNT
    if big.any():
        i = int(np.flatnonzero(big)[0])
        _refuse(where, f"channel {i}: count {c[i]:g} is more than a detector counts "
                       f"(at most 2**53)")
    neg = c < 0
    if neg.any():
        i = int(np.flatnonzero(neg)[0])
        _refuse(where, f"channel {i}: negative counts ({c[i]:g})")


def _whole(x):
    x = x[np.isfinite(x)]
    return x.size > 0 and bool(np.all(x == np.round(x)))


def _ordered(x):
    """Monotone, or of at most two turning points (two sweeps, a sine period)."""
    d = np.diff(x)
    if x.size < 3 or np.any(d == 0) or not np.all(np.isfinite(d)):
        return False
    return int(np.count_nonzero(np.diff(np.sign(d)))) <= 2


def _channel_like(x):
    return (_whole(x) and np.all(np.isfinite(x)) and x.min() >= 0
            and np.all(np.diff(x) > 0) and x.max() - x.min() + 1 <= 2 * x.size)


def _find_form(a, names, columns, where):
    nc = a.shape[1]
    if columns is not None:
        if len(columns) not in (nc, 1) and not (len(columns) < nc and columns[-1] == "counts"):
            _refuse(where, f"{nc} columns, but columns= names {len(columns)}")
        return columns, "as told"
    if names is not None:
        if len(names) != nc:
            _refuse(where, f"the header names {len(names)} columns, the data have {nc}")
        return names, "named in the header"
    if nc == 1:
        return ("counts",), "detected"
    A, B = a[:, 0], a[:, 1]
    negA, negB = bool(np.any(A < 0)), bool(np.any(B < 0))
    if nc == 2:
        if negA and not negB:
            return ("velocity", "counts"), "detected: the first column has negative values"
        if negB and not negA and not _channel_like(A):
            return ("counts", "velocity"), "detected: the second column has negative values"
        if not _whole(A) and _ordered(A) and not _ordered(B):
            return ("velocity", "counts"), "detected: the first column is an ordered scale"
        if not _whole(B) and _ordered(B) and not _ordered(A) and not _channel_like(A):
            return ("counts", "velocity"), "detected: the second column is an ordered scale"
        if _whole(A) and not negA:
            return ("channel", "counts"), "detected: whole numbers in the first column"
        _refuse(where, f"2 columns, neither a channel number (whole numbers) nor a velocity "
                       f"scale; accepted forms: {ACCEPTED} (or give the columns)")
    # three or more: channel velocity counts, or a dump of counts
    if nc == 3 and _channel_like(A) and (negB or not _whole(B)) and _ordered(B):
        return ("channel", "velocity", "counts"), "detected"
    per = nc - 1
    if _whole(A) and a.shape[0] >= 2 and np.all(np.diff(A) == per) and A[0] in (0, 1):
        return ("dump-channel",), "detected: a multichannel-analyser dump, each line " \
                                  "led by its first channel"
    if a.shape[0] == 1 and nc < 8:
        _refuse(where, f"found 1 line of {nc} columns ({nc} values): too few channels for a "
                       f"spectrum; accepted forms: {ACCEPTED}")
    return ("dump",), "detected: a multichannel-analyser dump, several counts a line"


def _interpret(a, names, columns, channel_base, where, ragged):
    roles, how = _find_form(a, names, columns, where)
    nc = a.shape[1]
    if roles in (("dump",), ("dump-channel",)) or (columns == ("counts",) and nc > 1):
        lead = roles == ("dump-channel",)
        counts = (a[:, 1:] if lead else a).ravel()
        if ragged:
            last = np.flatnonzero(np.isfinite(counts))
            counts = counts[:last[-1] + 1] if last.size else counts
        base = None
        if lead:
            base = int(a[0, 0]) if channel_base is None else channel_base
            if int(a[0, 0]) != base:
                counts = np.concatenate([np.full(int(a[0, 0]) - base, np.nan), counts])
        form = (f"{nc - 1 if lead else nc} counts a line"
                + (f", each line led by its first channel (numbered from {base})" if lead else ""))
        return Reading(counts=counts, form=f"{form} ({how})", channel_base=base,
                       columns=("channel", "counts...") if lead else ("counts...",))
    if ragged:
        _refuse(where, "a short last line in a file of named columns")
    col = {r: a[:, k] for k, r in enumerate(roles) if r != "skip"}
    if len(col) != len([r for r in roles if r != "skip"]):
        _refuse(where, f"columns {','.join(roles)}: a role named twice")
    counts = col["counts"]
    velocities = col.get("velocity")
    base = None
    if "channel" in col:
        ch = col["channel"]
        if np.any(~np.isfinite(ch)) or not _whole(ch) or np.any(ch < 0) \
                or np.unique(ch).size != ch.size:
            _refuse(where, "the channel column must hold distinct whole numbers from 0 or 1")
        if ch.max() >= MAX_CHANNELS:
            _refuse(where, f"channel {ch.max():g}: at most {MAX_CHANNELS} channels")
        lo = int(ch.min())
        base = channel_base if channel_base is not None else (1 if lo == 1 else 0)
        if lo < base:
            _refuse(where, f"channel {lo} in a file numbered from {base}")
        idx = ch.astype(np.int64) - base
        full = np.full(int(idx.max()) + 1, np.nan)
        full[idx] = counts
        if velocities is not None:
            v = np.full(full.size, np.nan)
            v[idx] = velocities
            velocities = v
        counts = full
        missing = int(np.count_nonzero(np.isnan(full)) - np.count_nonzero(np.isnan(col["counts"])))
        how += f"; channels numbered from {base}" + (" (shifted to 0)" if base == 1 else "") \
            + (f"; {missing} channel(s) absent, excluded" if missing else "")
    form = " ".join(r for r in roles if r != "skip") + f" ({how})"
    return Reading(counts=counts, velocities=velocities, form=form, channel_base=base,
                   columns=tuple(roles))


# ---- velocity columns as axes ------------------------------------------------------

def axis_from_velocities(v, where="velocity column"):
    """The axis whose formula gives the velocities v (mm/s) of every channel to within 2 %
    of a channel: one linear sweep, two mirrored sweeps, or a sine. Refused otherwise:
    the models lay their lines only on these formulas."""
    from .axes import LinearAxis, SineAxis, TriangularAxis
    v = np.asarray(v, dtype=np.float64)
    n = v.size
    i = np.arange(n, dtype=np.float64)
    ok = np.isfinite(v)
    if ok.sum() < 3:
        _refuse(where, "fewer than 3 velocities")

    def close(axis):
        w = axis.velocities()
        step = np.median(np.abs(np.diff(w)))
        dev = float(np.max(np.abs(w[ok] - v[ok])))
        return dev <= 0.02 * step, dev

    slope, icpt = np.polyfit(i[ok], v[ok], 1)
    if slope != 0:
        axis = LinearAxis(n, slope, -icpt / slope)
        good, dev = close(axis)
        if good:
            return axis, dev
    d = np.diff(v[ok])
    turn = np.flatnonzero(np.diff(np.sign(d)))
    if turn.size == 1:
        # the channels either side of the turn may belong to either sweep: left out
        k = int(np.flatnonzero(ok)[turn[0] + 1])
        s1 = np.polyfit(i[:k][ok[:k]], v[:k][ok[:k]], 1)
        s2 = np.polyfit(i[k + 2:][ok[k + 2:]], v[k + 2:][ok[k + 2:]], 1)
        step = (s1[0] - s2[0]) / 2
        zero, zero2 = -s1[1] / s1[0], -s2[1] / s2[0]
        try:
            axis = TriangularAxis(n, step, zero, (zero + zero2) / 2)
            good, dev = close(axis)
            if good:
                return axis, dev
        except ValueError:
            pass
    if turn.size <= 3:
        from scipy.optimize import least_squares
        amp = float(np.nanmax(np.abs(v)))
        best = None
        for periods in (0.5, 1.0, 2.0):
            cpr0 = n / (2 * math.pi * periods)
            for z0 in np.linspace(-n / 2, n / 2, 9):
                def res(p):
                    return p[0] * np.sin((i[ok] - p[1]) / p[2]) - v[ok]
                try:
                    sol = least_squares(res, [amp, z0, cpr0])
                except ValueError:
                    continue
                if best is None or sol.cost < best.cost:
                    best = sol
        if best is not None and best.x[2] > 0:
            a_, z_, c_ = best.x
            if a_ < 0:
                a_, z_ = -a_, z_ + math.pi * c_
            try:
                axis = SineAxis(n, a_, z_, channels_per_radian=c_)
                good, dev = close(axis)
                if good:
                    return axis, dev
            except ValueError:
                pass
    _refuse(where, "the velocities follow no linear, two-sweep or sine drive to within 2 % "
                   "of a channel; the models cannot be laid on them")


# ---- writing ---------------------------------------------------------------------

FORMS = ("counts", "channel", "channel1", "velocity", "counts-velocity", "channel-velocity",
         "dump", "dump-channel", "csv", "tsv")


def _fmt(x):
    return "nan" if x != x else repr(float(x)) if x != round(x) or abs(x) >= 1e15 else str(int(x))


def _ranges_text(mask):
    bad = np.flatnonzero(~mask)
    out, k = [], 0
    while k < bad.size:
        j = k
        while j + 1 < bad.size and bad[j + 1] == bad[j] + 1:
            j += 1
        out.append(str(bad[k]) if j == k else f"{bad[k]}-{bad[j]}")
        k = j + 1
    return ", ".join(out)


def write_text(path, text, encoding="utf-8", compress=False):
    """Write a whole file or nothing: through a temporary file made exclusively in the
    same directory, renamed over a regular file (or a new name); a directory, FIFO or
    device is refused."""
    path = os.fspath(path)
    umask = os.umask(0)
    os.umask(umask)
    mode = 0o666 & ~umask
    try:
        st = os.stat(path)
        if not stat.S_ISREG(st.st_mode):
            raise ValueError(f"{path}: not a regular file; refusing to replace it")
        mode = stat.S_IMODE(st.st_mode)
    except FileNotFoundError:
        pass
    data = text.encode(encoding) if isinstance(text, str) else text
    if compress:
        data = gzip.compress(data, mtime=0)
    d = os.path.dirname(os.path.abspath(path))
    fd, tmp = tempfile.mkstemp(dir=d, prefix=".mosslib-", suffix=".tmp")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.chmod(tmp, mode)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def write_spectrum(spectrum, path, form="channel", metadata=None, crlf=False, bom=False,
                   compress=False, per_line=8, header=()):
    """Write `spectrum` in one of FORMS (a velocity form needs its axis); the metadata
    (default the spectrum's) become 'key: value' header lines, the excluded channels an
    '# exclude:' line. crlf, bom and compress (gzip) as laboratories' files have them."""
    if form not in FORMS:
        raise ValueError(f"form {form!r}: one of {', '.join(FORMS)}")
    c = spectrum.counts
    n = c.size
    md = dict(spectrum.metadata if metadata is None else metadata)
    units = md.pop("units", None) or {}
    head = [f"# {h}" for h in header]
    head += [f"# {k}: {v}" + (f" {units[k]}" if k in units else "") for k, v in md.items()
             if not isinstance(v, (dict, list, tuple, np.ndarray))]
    if not spectrum.mask.all():
        head.append(f"# exclude: {_ranges_text(spectrum.mask | np.isnan(c))}"
                    if (~(spectrum.mask | np.isnan(c))).any() else "# channels marked nan are absent")
    if form in ("velocity", "counts-velocity", "channel-velocity", "csv", "tsv"):
        if spectrum.axis is None:
            raise ValueError(f"form {form}: the spectrum has no velocity axis")
        v = spectrum.axis.velocities()
    i = np.arange(n)
    if form == "counts":
        rows = [_fmt(x) for x in c]
    elif form in ("channel", "channel1"):
        b = 1 if form == "channel1" else 0
        rows = [f"{k + b} {_fmt(x)}" for k, x in zip(i, c)]
    elif form == "velocity":
        rows = [f"{vk!r} {_fmt(x)}" for vk, x in zip(v, c)]
    elif form == "counts-velocity":
        rows = [f"{_fmt(x)} {vk!r}" for vk, x in zip(v, c)]
    elif form == "channel-velocity":
        rows = [f"{k} {vk!r} {_fmt(x)}" for k, vk, x in zip(i, v, c)]
    elif form in ("csv", "tsv"):
        sep = "," if form == "csv" else "\t"
        rows = [sep.join(("channel", "velocity", "counts"))]
        rows += [sep.join((str(k), repr(float(vk)), _fmt(x))) for k, vk, x in zip(i, v, c)]
    else:
        lead = form == "dump-channel"
        rows = []
        for s in range(0, n, per_line):
            part = " ".join(f"{_fmt(x):>9}" for x in c[s:s + per_line])
            rows.append((f"{s:>6} " if lead else "") + part)
    eol = "\r\n" if crlf else "\n"
    text = eol.join(head + rows) + eol
    data = (b"\xef\xbb\xbf" if bom else b"") + text.encode("utf-8")
    write_text(path, data, compress=compress)
