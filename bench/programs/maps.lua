local n = 400000
-- Builds a map key by key, then updates it and reads it back: keys made by concatenation, stores of new
-- and of existing keys, look-ups that hit and miss, and a walk over all the keys in their sorted order.

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
  local keys = {}
  for key in pairs(m) do
    keys[#keys + 1] = key
  end
  table.sort(keys)
  local total = 0
  for _, key in ipairs(keys) do
    total = (total * 31 + m[key]) % 1000003
  end
  return size, hits, missing, total
end

local size, hits, missing, total = build(n)
print(size)
print(hits)
print(missing)
print(total)
