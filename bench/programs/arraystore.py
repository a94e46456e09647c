n = 1000
# Element stores in hot loops: a matrix filled cell by cell through nested stores, prefix sums written
# back in place, a histogram of counts and a list reversed by swaps.


def fill(size):
    grid = list(range(size))
    for r in range(size):
        grid[r] = list(range(size))
    for r in range(size):
        for c in range(size):
            grid[r][c] = (r * 31 + c * 17) % 101
    return grid


def prefix_sums(row, size):
    c = 1
    while c < size:
        row[c] = (row[c - 1] + row[c]) % 100003
        c += 1
    return row


def histogram(grid, buckets):
    counts = [0] * buckets
    for row in grid:
        for v in row:
            b = v % buckets
            counts[b] += 1
    return counts


def reverse(a, size):
    i = 0
    j = size - 1
    while i < j:
        t = a[i]
        a[i] = a[j]
        a[j] = t
        i += 1
        j -= 1
    return a


def run(size):
    grid = fill(size)
    for r in range(size):
        grid[r] = reverse(prefix_sums(grid[r], size), size)
    counts = histogram(grid, 97)
    check = 0
    for b in range(97):
        check = (check * 31 + counts[b]) % 1000003
    print(check)
    print(grid[0][0])
    print(grid[size - 1][0])


run(n)
