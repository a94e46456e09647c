local n = 1000000
-- Hot loops at the top level of a script, outside any function: integer arithmetic, a float comparison,
-- and element reads and stores in a table.

local size = 1000
local cells = {}
for k = 0, size - 1 do cells[k] = k end
local acc, big = 0, 0
local i = 0
while i < n do
  local k = i % size
  local v = (cells[k] * 31 + i) % 65521
  cells[k] = v
  if v / 7 > 4000 then
    big = big + 1
  end
  acc = (acc + v) % 1000000007
  i = i + 1
end

local total = 0
for x = 0, n - 1 do
  total = (total + cells[x % size] * (x % 3)) % 1000003
end

local evens, largest = 0, 0
for k = 0, size - 1 do
  local v = cells[k]
  if v % 2 == 0 then
    evens = evens + 1
  end
  if v > largest then
    largest = v
  end
end

print(acc)
print(big)
print(total)
print(evens)
print(largest)
