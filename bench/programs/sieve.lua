local n = 2000000
-- Sieve of Eratosthenes: indexed loads and stores into one large array.

local function count_primes(limit)
  local flags = {}
  for i = 0, limit do flags[i] = true end
  flags[0], flags[1] = false, false
  local i = 2
  while i * i <= limit do
    if flags[i] then
      local j = i * i
      while j <= limit do
        flags[j] = false
        j = j + i
      end
    end
    i = i + 1
  end
  local count = 0
  for k = 0, limit do
    if flags[k] then count = count + 1 end
  end
  return count
end

print(count_primes(n))
