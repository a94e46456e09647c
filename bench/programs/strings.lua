local n = 300000
-- Builds text with string concatenation: number formatting and concatenation of short strings.

local function build(count)
  local total, lines, line = 0, 0, ""
  for i = 0, count - 1 do
    local item = "item " .. i .. ": " .. (i * 7 % 1000) .. " of " .. count
    total = total + #item
    line = line .. (i % 10)
    if #line >= 80 then
      lines = lines + 1
      line = ""
    end
  end
  return total, lines, line
end

local total, lines, line = build(n)
print(total)
print(lines)
print('"' .. line .. '"')
