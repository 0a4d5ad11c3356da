-- Column widths of the pages' tables that fit an 80-column terminal.  pandoc
-- gives a wide table equal columns over 70 ens, which man indents by 7 and
-- pads with 3 between columns: wider than the line, and too narrow for a
-- long name in one column while another has room to spare.  Each column gets
-- its longest word, the rest of the line goes where the text is longest, and
-- the text is not stretched to the column's edge (nowhere to stretch a long
-- name alone on its line).

local line = 69     -- ens of an 80-column page after man's indent (71), less tbl's margin
local gap = 3       -- ens between columns
local pandoc_line = 70  -- what pandoc's man writer multiplies widths by

local function cell_text(cell)
  return pandoc.utils.stringify(cell.contents or cell)
end

local function each_row(tbl, f)
  for _, row in ipairs(tbl.head.rows) do f(row) end
  for _, body in ipairs(tbl.bodies) do
    for _, row in ipairs(body.body) do f(row) end
  end
  for _, row in ipairs(tbl.foot.rows) do f(row) end
end

function Table(tbl)
  local n = #tbl.colspecs
  local longest_word, longest_text = {}, {}
  for i = 1, n do longest_word[i], longest_text[i] = 1, 1 end
  each_row(tbl, function(row)
    for i, cell in ipairs(row.cells) do
      local text = cell_text(cell)
      longest_text[i] = math.max(longest_text[i], utf8.len(text) or #text)
      for word in text:gmatch("%S+") do
        longest_word[i] = math.max(longest_word[i], utf8.len(word) or #word)
      end
    end
  end)
  local room = line - gap * (n - 1)
  local natural, least = 0, 0
  for i = 1, n do
    natural = natural + longest_text[i]
    least = least + longest_word[i]
  end
  if natural <= room then return nil end  -- pandoc's widths fit
  local widths = {}
  local spare = math.max(room - least, 0)
  local wanting = natural - least
  for i = 1, n do
    local more = wanting > 0 and spare * (longest_text[i] - longest_word[i]) / wanting or 0
    -- pandoc prints a tenth of an en: round down so that the sum stays in the line.
    widths[i] = math.floor((longest_word[i] + more) * 10) / 10 / pandoc_line
  end
  for i = 1, n do tbl.colspecs[i] = {tbl.colspecs[i][1], widths[i]} end
  return {pandoc.RawBlock("man", ".na"), tbl, pandoc.RawBlock("man", ".ad")}
end
