local n = 150000
-- String building: records rendered field by field with concatenation, joined with a separator, and a
-- document grown line by line (in a buffer table, as Lua builds long strings).

local function build(count)
  local doc, size = {}, 0
  local check = 0
  local fields = {}
  local line = ""
  for i = 0, count - 1 do
    fields[1] = "row" .. i
    for k = 1, 5 do
      fields[k + 1] = k .. "=" .. (i * 7 + k * 13) % 1000
    end
    line = table.concat(fields, ", ")
    check = (check * 31 + #line) % 1000003
    size = size + 1
    doc[size] = line .. "\n"
  end
  return #table.concat(doc), check, line
end

local length, check, line = build(n)
print(length)
print(check)
print('"' .. line .. '"')
