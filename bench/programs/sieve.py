n = 2000000
# Sieve of Eratosthenes: indexed loads and stores into one large array.


def count_primes(limit):
    flags = [True] * (limit + 1)
    flags[0] = flags[1] = False
    i = 2
    while i * i <= limit:
        if flags[i]:
            j = i * i
            while j <= limit:
                flags[j] = False
                j += i
        i += 1
    count = 0
    for f in flags:
        if f:
            count += 1
    return count


print(count_primes(n))
