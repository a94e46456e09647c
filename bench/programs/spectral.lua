local n = 200
-- Spectral norm of an infinite matrix, approximated on n-by-n: nested float loops over arrays.

local function a(i, j)
  local ij = i + j
  return 1.0 / (ij * (ij + 1) / 2 + i + 1)
end

local function times(v, size)
  local out = {}
  for i = 0, size - 1 do
    local s = 0.0
    for j = 0, size - 1 do s = s + a(i, j) * v[j + 1] end
    out[i + 1] = s
  end
  return out
end

local function times_transposed(v, size)
  local out = {}
  for i = 0, size - 1 do
    local s = 0.0
    for j = 0, size - 1 do s = s + a(j, i) * v[j + 1] end
    out[i + 1] = s
  end
  return out
end

local function times_ata(v, size)
  return times_transposed(times(v, size), size)
end

local function spectral_norm(size)
  local u, v = {}, nil
  for i = 1, size do u[i] = 1.0 end
  for _ = 1, 10 do
    v = times_ata(u, size)
    u = times_ata(v, size)
  end
  local vbv, vv = 0.0, 0.0
  for i = 1, size do
    vbv = vbv + u[i] * v[i]
    vv = vv + v[i] * v[i]
  end
  return math.sqrt(vbv / vv)
end

-- Prints like the other implementations: rounded to 9 decimals, shortest form, at least one decimal.
local function show(x)
  local s = string.format("%.9f", x):gsub("0+$", "")
  if s:sub(-1) == "." then s = s .. "0" end
  print(s)
end

show(spectral_norm(n))
