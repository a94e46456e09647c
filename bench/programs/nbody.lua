local n = 100000
-- The Jovian planets under Newtonian gravity: float arithmetic on small arrays.

local sqrt, PI = math.sqrt, math.pi
local SOLAR_MASS = 4 * PI * PI
local DAYS_PER_YEAR = 365.24

local function body(x, y, z, vx, vy, vz, mass)
  return { x = x, y = y, z = z, vx = vx * DAYS_PER_YEAR, vy = vy * DAYS_PER_YEAR,
           vz = vz * DAYS_PER_YEAR, mass = mass * SOLAR_MASS }
end

local bodies = {
  body(0, 0, 0, 0, 0, 0, 1),
  body(4.84143144246472090e+00, -1.16032004402742839e+00, -1.03622044471123109e-01,
       1.66007664274403694e-03, 7.69901118419740425e-03, -6.90460016972063023e-05,
       9.54791938424326609e-04),
  body(8.34336671824457987e+00, 4.12479856412430479e+00, -4.03523417114321381e-01,
       -2.76742510726862411e-03, 4.99852801234917238e-03, 2.30417297573763929e-05,
       2.85885980666130812e-04),
  body(1.28943695621391310e+01, -1.51111514016986312e+01, -2.23307578892655734e-01,
       2.96460137564761618e-03, 2.37847173959480950e-03, -2.96589568540237556e-05,
       4.36624404335156298e-05),
  body(1.53796971148509165e+01, -2.59193146099879641e+01, 1.79258772950371181e-01,
       2.68067772490389322e-03, 1.62824170038242295e-03, -9.51592254519715870e-05,
       5.15138902046611451e-05),
}

local function offset_momentum(bs)
  local px, py, pz = 0.0, 0.0, 0.0
  for _, b in ipairs(bs) do
    px = px + b.vx * b.mass
    py = py + b.vy * b.mass
    pz = pz + b.vz * b.mass
  end
  bs[1].vx = -px / SOLAR_MASS
  bs[1].vy = -py / SOLAR_MASS
  bs[1].vz = -pz / SOLAR_MASS
end

local function energy(bs)
  local e = 0.0
  for i = 1, #bs do
    local bi = bs[i]
    e = e + 0.5 * bi.mass * (bi.vx * bi.vx + bi.vy * bi.vy + bi.vz * bi.vz)
    for j = i + 1, #bs do
      local bj = bs[j]
      local dx, dy, dz = bi.x - bj.x, bi.y - bj.y, bi.z - bj.z
      e = e - bi.mass * bj.mass / sqrt(dx * dx + dy * dy + dz * dz)
    end
  end
  return e
end

local function advance(bs, steps, dt)
  local count = #bs
  for _ = 1, steps do
    for i = 1, count do
      local bi = bs[i]
      for j = i + 1, count do
        local bj = bs[j]
        local dx, dy, dz = bi.x - bj.x, bi.y - bj.y, bi.z - bj.z
        local dist2 = dx * dx + dy * dy + dz * dz
        local mag = dt / (dist2 * sqrt(dist2))
        local mi, mj = bi.mass * mag, bj.mass * mag
        bi.vx = bi.vx - dx * mj
        bi.vy = bi.vy - dy * mj
        bi.vz = bi.vz - dz * mj
        bj.vx = bj.vx + dx * mi
        bj.vy = bj.vy + dy * mi
        bj.vz = bj.vz + dz * mi
      end
    end
    for i = 1, count do
      local b = bs[i]
      b.x = b.x + dt * b.vx
      b.y = b.y + dt * b.vy
      b.z = b.z + dt * b.vz
    end
  end
end

-- Prints like the other implementations: rounded to 9 decimals, shortest form, at least one decimal.
local function show(x)
  local s = string.format("%.9f", x):gsub("0+$", "")
  if s:sub(-1) == "." then s = s .. "0" end
  print(s)
end

offset_momentum(bodies)
show(energy(bodies))
advance(bodies, n, 0.01)
show(energy(bodies))
