local n = 6000000
-- A tight integer while loop: comparisons, integer arithmetic and modulo.

local function churn(count)
  local i, acc = 0, 0
  while i < count do
    acc = (acc * 31 + i) % 1000000007
    i = i + 1
  end
  return acc
end

print(churn(n))
