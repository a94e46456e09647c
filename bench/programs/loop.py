n = 6000000
# A tight integer while loop: comparisons, integer arithmetic and modulo.


def churn(count):
    i = 0
    acc = 0
    while i < count:
        acc = (acc * 31 + i) % 1000000007
        i = i + 1
    return acc


print(churn(n))
