local n = 5000
-- Method calls over four classes at one call site: a base-class method that every subclass inherits,
-- methods overridden at two levels, and one inherited from a parent that is not the base.

local function class(parent)
  local c = setmetatable({}, parent)
  c.__index = c
  return c
end

local Shape = class(nil)

function Shape:score()
  return self:area() * 2 + self:perimeter() + self:corners()
end

function Shape:corners()
  return 0
end

local Rect = class(Shape)

function Rect.new(w, h)
  return setmetatable({ w = w, h = h }, Rect)
end

function Rect:area()
  return self.w * self.h
end

function Rect:perimeter()
  return 2 * (self.w + self.h)
end

function Rect:corners()
  return 4
end

-- A square keeps Rect's area and corners.
local Square = class(Rect)

function Square.new(w, h)
  return setmetatable({ w = w, h = h }, Square)
end

function Square:perimeter()
  return 4 * self.w
end

-- Integer stand-ins for pi keep every result an int.
local Circle = class(Shape)

function Circle.new(r)
  return setmetatable({ r = r }, Circle)
end

function Circle:area()
  return 3 * self.r * self.r
end

function Circle:perimeter()
  return 6 * self.r
end

local Triangle = class(Shape)

function Triangle.new(b, h, s)
  return setmetatable({ b = b, h = h, s = s }, Triangle)
end

function Triangle:area()
  return self.b * self.h
end

function Triangle:perimeter()
  return self.b + 2 * self.s
end

function Triangle:corners()
  return 3
end

local function make_shape(i)
  local kind = i * 7 % 13 % 4
  if kind == 0 then
    return Rect.new(i % 7 + 1, i % 5 + 1)
  elseif kind == 1 then
    return Square.new(i % 6 + 1, i % 6 + 1)
  elseif kind == 2 then
    return Circle.new(i % 4 + 1)
  end
  return Triangle.new(i % 9 + 1, i % 3 + 1, i % 8 + 2)
end

local function measure(shapes, rounds)
  local total = 0
  for k = 0, rounds - 1 do
    for _, s in ipairs(shapes) do
      total = (total + s:score() + s:area() * (k % 5)) % 1000003
    end
  end
  return total
end

local shapes = {}
for i = 0, 239 do
  shapes[i + 1] = make_shape(i)
end
print(measure(shapes, n))
