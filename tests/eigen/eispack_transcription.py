#!/usr/bin/env python3
"""Independent transcription of the EISPACK Hermitian routines (1983 CH with HTRIDI,
TQL2, HTRIBK, PYTHAG; older-edition HTRIDI and TQL2) in plain Python floats, written
statement by statement from the published step descriptions, 1-based as published.

Generates data/eispack_bits.txt: test matrices and the exact bits that routes A and B
must reproduce. Regenerate with:  python3 tests/eigen/eispack_transcription.py
"""
import math
import os
import random
import struct

MACHEP_OLD = struct.unpack('f', struct.pack('f', 1.0e-16))[0]


def dsign(a, b):
    return abs(a) if b >= 0 else -abs(a)


def pythag(a, b):
    p = max(abs(a), abs(b))
    if p == 0.0:
        return p
    q = min(abs(a), abs(b)) / p
    r = q * q
    while True:
        t = 4.0 + r
        if t == 4.0:
            return p
        s = r / t
        u = 1.0 + 2.0 * s
        p = u * p
        w = s / u
        r = (w * w) * r


class M:
    """1-based column-major n x n matrix."""

    def __init__(self, n, vals=None):
        self.n = n
        self.v = vals if vals is not None else [0.0] * (n * n)

    def __getitem__(self, ij):
        i, j = ij
        return self.v[(i - 1) + (j - 1) * self.n]

    def __setitem__(self, ij, x):
        i, j = ij
        self.v[(i - 1) + (j - 1) * self.n] = x


def htridi(n, ar, ai, older):
    d = [0.0] * (n + 1)
    e = [0.0] * (n + 1)
    e2 = [0.0] * (n + 1)
    tau = [[0.0] * (n + 1) for _ in range(3)]  # tau[1][k], tau[2][k]
    tau[1][n] = 1.0
    tau[2][n] = 0.0
    for i in range(1, n + 1):
        d[i] = ar[i, i]
    for i in range(n, 0, -1):
        l = i - 1
        h = 0.0
        scale = 0.0
        if l >= 1:
            for k in range(1, l + 1):
                scale = scale + abs(ar[i, k]) + abs(ai[i, k])
            if scale == 0.0:
                tau[1][l] = 1.0
                tau[2][l] = 0.0
                e[i] = 0.0
                e2[i] = 0.0
            else:
                for k in range(1, l + 1):
                    ar[i, k] = ar[i, k] / scale
                    ai[i, k] = ai[i, k] / scale
                    h = h + ar[i, k] * ar[i, k] + ai[i, k] * ai[i, k]
                e2[i] = scale * scale * h
                g = math.sqrt(h)
                e[i] = scale * g
                if older:
                    f = math.sqrt(ar[i, l] * ar[i, l] + ai[i, l] * ai[i, l])
                else:
                    f = pythag(ar[i, l], ai[i, l])
                skip_update = False
                if f != 0.0:
                    tau[1][l] = (ai[i, l] * tau[2][i] - ar[i, l] * tau[1][i]) / f
                    si = (ar[i, l] * tau[2][i] + ai[i, l] * tau[1][i]) / f
                    h = h + f * g
                    g = 1.0 + g / f
                    ar[i, l] = g * ar[i, l]
                    ai[i, l] = g * ai[i, l]
                    if l == 1:
                        skip_update = True
                else:
                    tau[1][l] = -tau[1][i]
                    si = tau[2][i]
                    ar[i, l] = g
                if not skip_update:
                    f = 0.0
                    for j in range(1, l + 1):
                        g = 0.0
                        gi = 0.0
                        for k in range(1, j + 1):
                            g = g + ar[j, k] * ar[i, k] + ai[j, k] * ai[i, k]
                            gi = gi - ar[j, k] * ai[i, k] + ai[j, k] * ar[i, k]
                        for k in range(j + 1, l + 1):
                            g = g + ar[k, j] * ar[i, k] - ai[k, j] * ai[i, k]
                            gi = gi - ar[k, j] * ai[i, k] - ai[k, j] * ar[i, k]
                        e[j] = g / h
                        tau[2][j] = gi / h
                        f = f + e[j] * ar[i, j] - tau[2][j] * ai[i, j]
                    hh = f / (h + h)
                    for j in range(1, l + 1):
                        f = ar[i, j]
                        g = e[j] - hh * f
                        e[j] = g
                        fi = -ai[i, j]
                        gi = tau[2][j] - hh * fi
                        tau[2][j] = -gi
                        for k in range(1, j + 1):
                            ar[j, k] = ar[j, k] - f * e[k] - g * ar[i, k] + fi * tau[2][k] + gi * ai[i, k]
                            ai[j, k] = ai[j, k] - f * tau[2][k] - g * ai[i, k] - fi * e[k] - gi * ar[i, k]
                for k in range(1, l + 1):
                    ar[i, k] = scale * ar[i, k]
                    ai[i, k] = scale * ai[i, k]
                tau[2][l] = -si
        else:
            e[i] = 0.0
            e2[i] = 0.0
        hh = d[i]
        d[i] = ar[i, i]
        ar[i, i] = hh
        ai[i, i] = scale * math.sqrt(h)
    return d, e, e2, tau


def tql2(n, d, e, z, older):
    if n == 1:
        return 0
    for i in range(2, n + 1):
        e[i - 1] = e[i]
    f = 0.0
    tst1 = 0.0
    b = 0.0
    e[n] = 0.0
    for l in range(1, n + 1):
        j = 0
        if older:
            h = MACHEP_OLD * (abs(d[l]) + abs(e[l]))
            if b < h:
                b = h
            m = l
            while not (abs(e[m]) <= b):
                m += 1
        else:
            h = abs(d[l]) + abs(e[l])
            if tst1 < h:
                tst1 = h
            m = l
            while not (tst1 + abs(e[m]) == tst1):
                m += 1
        if m != l:
            while True:
                if j == 30:
                    return l
                j += 1
                l1 = l + 1
                l2 = l1 + 1
                g = d[l]
                p = (d[l1] - g) / (2.0 * e[l])
                r = math.sqrt(p * p + 1.0) if older else pythag(p, 1.0)
                d[l] = e[l] / (p + dsign(r, p))
                d[l1] = e[l] * (p + dsign(r, p))
                dl1 = d[l1]
                h = g - d[l]
                for i in range(l2, n + 1):
                    d[i] = d[i] - h
                f = f + h
                p = d[m]
                c = 1.0
                c2 = c
                el1 = e[l1]
                s = 0.0
                s2 = 0.0
                c3 = 0.0
                for i in range(m - 1, l - 1, -1):
                    c3 = c2
                    c2 = c
                    s2 = s
                    g = c * e[i]
                    h = c * p
                    if older:
                        if not (abs(p) < abs(e[i])):
                            c = e[i] / p
                            r = math.sqrt(c * c + 1.0)
                            e[i + 1] = s * p * r
                            s = c / r
                            c = 1.0 / r
                        else:
                            c = p / e[i]
                            r = math.sqrt(c * c + 1.0)
                            e[i + 1] = s * e[i] * r
                            s = 1.0 / r
                            c = c * s
                    else:
                        r = pythag(p, e[i])
                        e[i + 1] = s * r
                        s = e[i] / r
                        c = p / r
                    p = c * d[i] - s * g
                    d[i + 1] = h + s * (c * g + s * d[i])
                    for k in range(1, n + 1):
                        h = z[k, i + 1]
                        z[k, i + 1] = s * z[k, i] + c * h
                        z[k, i] = c * z[k, i] - s * h
                if older:
                    e[l] = s * p
                    d[l] = c * p
                    if not (abs(e[l]) > b):
                        break
                else:
                    p = -s * s2 * c3 * el1 * e[l] / dl1
                    e[l] = s * p
                    d[l] = c * p
                    if not (tst1 + abs(e[l]) > tst1):
                        break
        d[l] = d[l] + f
    for ii in range(2, n + 1):
        i = ii - 1
        k = i
        p = d[i]
        for j in range(ii, n + 1):
            if d[j] < p:
                k = j
                p = d[j]
        if k != i:
            d[k] = d[i]
            d[i] = p
            for j in range(1, n + 1):
                p2 = z[j, i]
                z[j, i] = z[j, k]
                z[j, k] = p2
    return 0


def htribk(n, ar, ai, tau, zr, zi):
    m = n
    for k in range(1, n + 1):
        for j in range(1, m + 1):
            zi[k, j] = -zr[k, j] * tau[2][k]
            zr[k, j] = zr[k, j] * tau[1][k]
    if n == 1:
        return
    for i in range(2, n + 1):
        l = i - 1
        h = ai[i, i]
        if h == 0.0:
            continue
        for j in range(1, m + 1):
            s = 0.0
            si = 0.0
            for k in range(1, l + 1):
                s = s + ar[i, k] * zr[k, j] - ai[i, k] * zi[k, j]
                si = si + ar[i, k] * zi[k, j] + ai[i, k] * zr[k, j]
            s = (s / h) / h
            si = (si / h) / h
            for k in range(1, l + 1):
                zr[k, j] = zr[k, j] - s * ar[i, k] - si * ai[i, k]
                zi[k, j] = zi[k, j] - si * ar[i, k] + s * ai[i, k]


def ch(n, ar_vals, ai_vals, older):
    ar = M(n, list(ar_vals))
    ai = M(n, list(ai_vals))
    d, e, e2, tau = htridi(n, ar, ai, older)
    zr = M(n)
    zi = M(n)
    for i in range(1, n + 1):
        zr[i, i] = 1.0
    ierr = tql2(n, d, e, zr, older)
    assert ierr == 0
    htribk(n, ar, ai, tau, zr, zi)
    return d[1:], zr.v, zi.v


def reverse(n, w, zr, zi):
    w = w[::-1]
    zr2 = []
    zi2 = []
    for k in range(n):
        col = n - 1 - k
        zr2 += zr[col * n:(col + 1) * n]
        zi2 += zi[col * n:(col + 1) * n]
    return w, zr2, zi2


def hexf(x):
    return '%016x' % struct.unpack('<Q', struct.pack('<d', x))[0]


def test_matrices():
    rng = random.Random(1983)
    cases = []

    def lower_only(n, ar, ai):
        # strict upper triangles hold zeros here; the solvers never read them
        for j in range(n):
            for i in range(j):
                ar[i + j * n] = 0.0
                ai[i + j * n] = 0.0
            ai[j + j * n] = 0.0
        return ar, ai

    for n in (1, 2, 3, 4, 5, 6, 7, 9, 12, 16, 23, 36):
        ar = [rng.uniform(-1, 1) for _ in range(n * n)]
        ai = [rng.uniform(-1, 1) for _ in range(n * n)]
        cases.append(('random', n) + lower_only(n, ar, ai))
    # real symmetric
    n = 8
    ar = [rng.uniform(-2, 2) for _ in range(n * n)]
    cases.append(('real', n) + lower_only(n, ar, [0.0] * (n * n)))
    # small integers, repeated diagonal, negative couplings (signed-zero shifts),
    # zero sub-diagonal elements and rows (the f = 0 and scale = 0 branches)
    for n in (4, 6, 10):
        ar = [float(rng.randint(-2, 2)) for _ in range(n * n)]
        ai = [float(rng.choice((0, 0, 0, 1, -1))) for _ in range(n * n)]
        for j in range(n):
            ar[j + j * n] = float(rng.choice((1, 1, 2)))
        cases.append(('integer', n) + lower_only(n, ar, ai))
    n = 7
    ar = [0.0] * (n * n)
    ai = [0.0] * (n * n)
    for j in range(n):
        ar[j + j * n] = float(j % 3)
    ar[3 + 1 * n] = 0.5
    ai[5 + 2 * n] = -0.25
    ar[6 + 0 * n] = 1.0
    cases.append(('sparse', n, ar, ai))
    # tridiagonal with negative couplings and equal neighbours on the diagonal
    n = 9
    ar = [0.0] * (n * n)
    ai = [0.0] * (n * n)
    for j in range(n):
        ar[j + j * n] = 1.0 if j < 5 else -1.0
        if j + 1 < n:
            ar[j + 1 + j * n] = -1.0 if j % 2 else -2.0
    cases.append(('tridiagonal', n, ar, ai))
    # a spin-1 pair in a field: exact degeneracies
    n = 9
    ar = [0.0] * (n * n)
    ai = [0.0] * (n * n)
    for j in range(n):
        ar[j + j * n] = [2.0, 1.0, 0.0, 1.0, 0.0, -1.0, 0.0, -1.0, -2.0][j] * 0.3
    for j in range(n - 1):
        ar[j + 1 + j * n] = 0.7 if j % 3 != 2 else 0.0
        ai[j + 1 + j * n] = 0.2 if j % 3 != 2 else 0.0
    cases.append(('coupled', n, ar, ai))
    return cases


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    out = os.path.join(here, 'data', 'eispack_bits.txt')
    with open(out, 'w') as fh:
        fh.write('# Generated by tests/eigen/eispack_transcription.py: exact bits of routes A\n')
        fh.write('# (descending) and B (ascending) from an independent transcription.\n')
        fh.write('# case <name> <n>; then lines "ar", "ai" (lower triangle by columns),\n')
        fh.write('# "A w", "A zr", "A zi", "B w", "B zr", "B zi" (n or n*n hex doubles).\n')
        for name, n, ar, ai in test_matrices():
            fh.write('case %s %d\n' % (name, n))
            low = [(i, j) for j in range(n) for i in range(j, n)]
            fh.write('ar ' + ' '.join(hexf(ar[i + j * n]) for i, j in low) + '\n')
            fh.write('ai ' + ' '.join(hexf(ai[i + j * n]) for i, j in low) + '\n')
            for route, older in (('A', False), ('B', True)):
                w, zr, zi = ch(n, ar, ai, older)
                if route == 'A':
                    w, zr, zi = reverse(n, w, zr, zi)
                fh.write('%s w %s\n' % (route, ' '.join(map(hexf, w))))
                fh.write('%s zr %s\n' % (route, ' '.join(map(hexf, zr))))
                fh.write('%s zi %s\n' % (route, ' '.join(map(hexf, zi))))


if __name__ == '__main__':
    main()
