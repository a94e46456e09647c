local n = 1000
-- Element stores in hot loops: a matrix filled cell by cell through nested stores, prefix sums written
-- back in place, a histogram of counts and a table reversed by swaps. Indexes start at 0 as in the twins.

local function fill(size)
  local grid = {}
  for r = 0, size - 1 do
    local row = {}
    for c = 0, size - 1 do row[c] = c end
    grid[r] = row
  end
  for r = 0, size - 1 do
    for c = 0, size - 1 do
      grid[r][c] = (r * 31 + c * 17) % 101
    end
  end
  return grid
end

local function prefix_sums(row, size)
  local c = 1
  while c < size do
    row[c] = (row[c - 1] + row[c]) % 100003
    c = c + 1
  end
  return row
end

local function histogram(grid, size, buckets)
  local counts = {}
  for b = 0, buckets - 1 do
    counts[b] = 0
  end
  for r = 0, size - 1 do
    local row = grid[r]
    for c = 0, size - 1 do
      local b = row[c] % buckets
      counts[b] = counts[b] + 1
    end
  end
  return counts
end

local function reverse(a, size)
  local i, j = 0, size - 1
  while i < j do
    local t = a[i]
    a[i] = a[j]
    a[j] = t
    i = i + 1
    j = j - 1
  end
  return a
end

local function run(size)
  local grid = fill(size)
  for r = 0, size - 1 do
    grid[r] = reverse(prefix_sums(grid[r], size), size)
  end
  local counts = histogram(grid, size, 97)
  local check = 0
  for b = 0, 96 do
    check = (check * 31 + counts[b]) % 1000003
  end
  print(check)
  print(grid[0][0])
  print(grid[size - 1][0])
end

run(n)
