local n = 500000
-- Builds a map key by key, then updates it and reads it back: keys made by concatenation, stores of new
-- and of existing keys, look-ups that hit and miss, and a walk over all the keys.

local function build(count)
  local m, size = {}, 0
  for i = 0, count - 1 do
    local key = "k" .. i
    if m[key] == nil then size = size + 1 end
    m[key] = i % 97
  end
  for i = 0, count - 1 do
    if i % 3 == 0 then
      local key = "k" .. i
      m[key] = m[key] + 1
    end
  end
  local hits, missing = 0, 0
  for i = 0, count - 1 do
    local v = m["k" .. (i * 7 % (count + 5))]
    if v == nil then
      missing = missing + 1
    else
      hits = hits + v
    end
  end
  local total = 0
  for _, v in pairs(m) do
    total = total + v
  end
  return size, hits, missing, total
end

local size, hits, missing, total = build(n)
print(size)
print(hits)
print(missing)
print(total)
