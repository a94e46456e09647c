local n = 300000
-- Method calls on class instances; each call returns a new instance.

local Vec = {}
Vec.__index = Vec

function Vec.new(x, y)
  return setmetatable({ x = x, y = y }, Vec)
end

function Vec:add(other)
  return Vec.new(self.x + other.x, self.y + other.y)
end

function Vec:scale(k)
  return Vec.new(self.x * k, self.y * k)
end

function Vec:dot(other)
  return self.x * other.x + self.y * other.y
end

local function walk(steps)
  local pos, step, acc = Vec.new(0, 0), Vec.new(1, 2), 0
  for i = 0, steps - 1 do
    pos = pos:add(step:scale(i % 3))
    acc = (acc + pos:dot(step)) % 1000003
  end
  return acc
end

print(walk(n))
