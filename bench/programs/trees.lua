local n = 13
-- Allocation-heavy recursion: binary trees of objects built and walked over and over, next to one tree
-- that lives for the whole run (the classic binary-trees benchmark).

local Node = {}
Node.__index = Node

function Node:check()
  if self.left == nil then
    return 1
  end
  return 1 + self.left:check() + self.right:check()
end

local function tree(depth)
  if depth == 0 then
    return setmetatable({ left = nil, right = nil }, Node)
  end
  return setmetatable({ left = tree(depth - 1), right = tree(depth - 1) }, Node)
end

local function run(depth)
  local min_depth = 4
  local max_depth = math.max(min_depth + 2, depth)
  local stretch = tree(max_depth + 1):check()
  print('"stretch tree of depth ' .. (max_depth + 1) .. ': check ' .. stretch .. '"')
  local long_lived = tree(max_depth)
  for d = min_depth, max_depth, 2 do
    local iterations = 1
    for _ = 1, max_depth - d + min_depth do
      iterations = iterations * 2
    end
    local check = 0
    for _ = 1, iterations do
      check = check + tree(d):check()
    end
    print('"' .. iterations .. ' trees of depth ' .. d .. ': check ' .. check .. '"')
  end
  print('"long-lived tree of depth ' .. max_depth .. ': check ' .. long_lived:check() .. '"')
end

run(n)
