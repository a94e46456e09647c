n = 150000
# String building: records rendered field by field with f-strings, joined with a separator, and a
# document grown line by line.


def build(count):
    doc = ""
    check = 0
    fields = list(range(6))
    line = ""
    for i in range(count):
        fields[0] = f"row{i}"
        for k in range(1, 6):
            fields[k] = f"{k}={(i * 7 + k * 13) % 1000}"
        line = ", ".join(fields)
        check = (check * 31 + len(line)) % 1000003
        doc += f"{line}\n"
    return [len(doc), check, line]


result = build(n)
print(result[0])
print(result[1])
print(f'"{result[2]}"')
