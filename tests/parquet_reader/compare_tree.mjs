// Checks that a Parquet output tree holds what the CSV tree of the same run holds: the same
// files (by path, extension aside), columns, row times in microseconds and values (an empty
// CSV cell is null, "-NaN" is NaN, a cell of a STRING column its text, unquoted, and every
// other cell a double that the cell's six decimals spell, exactly or rounded as "%f" rounds).
// Usage: node compare_tree.mjs CSV_ROOT PARQUET_ROOT; exit status 0 when they agree.
import { DuckDBInstance } from '@duckdb/node-api';
import { readdirSync, readFileSync } from 'node:fs';
import { join, relative } from 'node:path';

function walk(root, extension, out = []) {
  for (const entry of readdirSync(root, { withFileTypes: true })) {
    const path = join(root, entry.name);
    if (entry.isDirectory()) walk(path, extension, out);
    else if (entry.name.endsWith(extension)) out.push(path);
  }
  return out;
}

function micros(text) {
  const [whole, fraction] = text.split('.');
  return (BigInt(whole) * 1000000n + BigInt(fraction.padEnd(6, '0'))).toString();
}

// The cells of a CSV line: a cell in double quotes may hold commas and doubled quotes.
function cells(line) {
  const out = [];
  let at = 0;
  for (;;) {
    if (line[at] === '"') {
      let text = '';
      for (++at; at < line.length; ++at) {
        if (line[at] === '"' && line[at + 1] === '"') { text += '"'; ++at; }
        else if (line[at] === '"') { ++at; break; }
        else text += line[at];
      }
      out.push({ text, quoted: true });
    } else {
      const comma = line.indexOf(',', at);
      const end = comma < 0 ? line.length : comma;
      out.push({ text: line.slice(at, end), quoted: false });
      at = end;
    }
    if (at >= line.length) return out;
    ++at;  // the comma
  }
}

function same({ text: cell, quoted }, value) {
  if (typeof value === 'string') return value === cell;
  if (cell === '' && !quoted) return value === null;
  if (value === null) return false;
  const number = Number(cell);
  if (Number.isNaN(number) || /nan/i.test(cell)) return Number.isNaN(value);
  if (Object.is(number, value)) return true;
  // Parquet holds the decoded double itself; the CSV cell is that double at six decimals.
  const sign = value < 0 || Object.is(value, -0) ? '-' : '';
  return Math.abs(value) < 1e21 && sign + Math.abs(value).toFixed(6) === cell;
}

async function main() {
  const [csvRoot, parquetRoot] = process.argv.slice(2);
  const connection = await (await DuckDBInstance.create(':memory:')).connect();
  const csvFiles = walk(csvRoot, '.csv').map((f) => relative(csvRoot, f).slice(0, -4)).sort();
  const parquetFiles = walk(parquetRoot, '.parquet')
    .map((f) => relative(parquetRoot, f).slice(0, -8)).sort();
  let problems = 0;
  const report = (text) => { ++problems; if (problems < 20) console.log(text); };
  if (csvFiles.join('\n') !== parquetFiles.join('\n')) report('the trees have other files');
  let rows = 0;
  for (const name of csvFiles) {
    const lines = readFileSync(join(csvRoot, name + '.csv'), 'utf8').split('\n');
    lines.pop();
    const header = lines.shift().split(',');
    const reader = await connection.runAndReadAll(
      'SELECT epoch_us(t)::VARCHAR AS t, * EXCLUDE (t) FROM read_parquet(?)',
      [join(parquetRoot, name + '.parquet')]);
    const columns = reader.columnNames();
    if (columns.join(',') !== header.join(',')) report(`${name}: columns ${columns} not ${header}`);
    const got = reader.getRows();
    if (got.length !== lines.length) report(`${name}: ${got.length} rows, not ${lines.length}`);
    for (let i = 0; i < Math.min(got.length, lines.length); ++i) {
      const row = cells(lines[i]);
      if (got[i][0] !== micros(row[0].text)) report(`${name} row ${i}: time ${got[i][0]}`);
      if (row.length !== header.length) report(`${name} row ${i}: ${row.length} cells`);
      for (let c = 1; c < row.length; ++c)
        if (!same(row[c], got[i][c])) report(`${name} row ${i} ${header[c]}: ${got[i][c]}`);
    }
    rows += lines.length;
  }
  console.log(`${csvFiles.length} files, ${rows} rows, ${problems} differences`);
  process.exit(problems === 0 ? 0 : 1);
}

main().catch((error) => { console.error(String(error)); process.exit(2); });
