n = 400000
# Builds a map key by key, then updates it and reads it back: keys made by f-strings, stores of new and
# of existing keys, look-ups that hit and miss, and a walk over all the keys in their sorted order.


def build(count):
    m = {}
    for i in range(count):
        m[f"k{i}"] = i % 97
    for i in range(count):
        if i % 3 == 0:
            key = f"k{i}"
            m[key] = m[key] + 1
    hits = 0
    missing = 0
    for i in range(count):
        v = m.get(f"k{i * 7 % (count + 5)}")
        if v is None:
            missing += 1
        else:
            hits += v
    total = 0
    for key in sorted(m):
        total = (total * 31 + m[key]) % 1000003
    return [len(m), hits, missing, total]


result = build(n)
print(result[0])
print(result[1])
print(result[2])
print(result[3])
