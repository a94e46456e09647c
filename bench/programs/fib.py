n = 30
# Naive doubly recursive Fibonacci: measures call and return overhead.


def fib(k):
    if k < 2:
        return k
    return fib(k - 1) + fib(k - 2)


print(fib(n))
