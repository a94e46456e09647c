n = 1000000
# Hot loops at the top level of a script, outside any function: integer arithmetic, a float comparison,
# and element reads and stores in a list.

size = 1000
cells = list(range(size))
acc = 0
big = 0
i = 0
while i < n:
    k = i % size
    v = (cells[k] * 31 + i) % 65521
    cells[k] = v
    if v / 7 > 4000:
        big += 1
    acc = (acc + v) % 1000000007
    i += 1

total = 0
for x in range(n):
    total = (total + cells[x % size] * (x % 3)) % 1000003

evens = 0
largest = 0
for v in cells:
    if v % 2 == 0:
        evens += 1
    if v > largest:
        largest = v

print(acc)
print(big)
print(total)
print(evens)
print(largest)
