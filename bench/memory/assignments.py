n = 1000000
# A function whose loop body is plain assignments: its memory must not grow with the trip count.


def assign_loop(count):
    i = 0
    last = 0
    while i < count:
        last = i
        i = i + 1
    return last


print(assign_loop(n))
