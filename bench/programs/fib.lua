local n = 30
-- Naive doubly recursive Fibonacci: measures call and return overhead.

local function fib(k)
  if k < 2 then return k end
  return fib(k - 1) + fib(k - 2)
end

print(fib(n))
