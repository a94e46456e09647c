local n = 200
-- Counts grid points of an n-by-n view that stay bounded for 50 iterations.

local function mandelbrot(size)
  local count = 0
  for py = 0, size - 1 do
    local ci = 2.0 * py / size - 1.0
    for px = 0, size - 1 do
      local cr = 2.0 * px / size - 1.5
      local zr, zi, k = 0.0, 0.0, 0
      while k < 50 and zr * zr + zi * zi <= 4.0 do
        zr, zi = zr * zr - zi * zi + cr, 2.0 * zr * zi + ci
        k = k + 1
      end
      if k == 50 then count = count + 1 end
    end
  end
  return count
end

print(mandelbrot(n))
