n = 300000
# Builds text with f-strings: number formatting and concatenation of short strings.


def build(count):
    total = 0
    line = ""
    lines = 0
    for i in range(count):
        item = f"item {i}: {i * 7 % 1000} of {count}"
        total += len(item)
        line = f"{line}{i % 10}"
        if len(line) >= 80:
            lines += 1
            line = ""
    return [total, lines, line]


result = build(n)
print(result[0])
print(result[1])
print(f'"{result[2]}"')
