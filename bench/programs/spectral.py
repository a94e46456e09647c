n = 200
# Spectral norm of an infinite matrix, approximated on n-by-n: nested float loops over arrays.
from math import sqrt


def a(i, j):
    return 1.0 / ((i + j) * (i + j + 1) // 2 + i + 1)


def times(v, size):
    return [sum(a(i, j) * v[j] for j in range(size)) for i in range(size)]


def times_transposed(v, size):
    return [sum(a(j, i) * v[j] for j in range(size)) for i in range(size)]


def times_ata(v, size):
    return times_transposed(times(v, size), size)


def spectral_norm(size):
    u = [1.0] * size
    v = u
    for _ in range(10):
        v = times_ata(u, size)
        u = times_ata(v, size)
    vbv = 0.0
    vv = 0.0
    for i in range(size):
        vbv += u[i] * v[i]
        vv += v[i] * v[i]
    return sqrt(vbv / vv)


print(round(spectral_norm(n), 9))
