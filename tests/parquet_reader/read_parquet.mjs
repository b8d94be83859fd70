// Prints what an independent reader (DuckDB) finds in a Parquet file, one JSON value a line:
// the file's facts, its columns, its key-value metadata, its column chunks, then one line per
// row. Doubles print as the hex of their bits ("NaN" for any NaN), so that values compare
// exactly; 64-bit integers and timestamps (as microseconds) print as decimal strings.
// Usage: node read_parquet.mjs FILE
import { DuckDBInstance } from '@duckdb/node-api';

function plain(value) {
  if (value === null || value === undefined) return null;
  if (typeof value === 'bigint') return value.toString();
  if (typeof value === 'number') {
    if (Number.isNaN(value)) return 'NaN';
    const view = new DataView(new ArrayBuffer(8));
    view.setFloat64(0, value);
    return view.getBigUint64(0).toString(16).padStart(16, '0');
  }
  if (typeof value === 'string' || typeof value === 'boolean') return value;
  if (value.micros !== undefined) return value.micros.toString();
  if (value.bytes !== undefined) return new TextDecoder().decode(value.bytes);
  return String(value);
}

async function rows(connection, sql, file) {
  const reader = await connection.runAndReadAll(sql, [file]);
  return reader.getRows().map((row) => row.map(plain));
}

async function main() {
  const file = process.argv[2];
  const instance = await DuckDBInstance.create(':memory:');
  const connection = await instance.connect();
  // Statistics of timestamps print in the session's time zone: make it the same everywhere.
  await connection.run("SET TimeZone = 'UTC'");
  const [facts] = await rows(connection,
      'SELECT created_by, num_rows, num_row_groups FROM parquet_file_metadata($1)', file);
  console.log(JSON.stringify(facts));
  const types = await rows(connection,
      'SELECT column_name, column_type FROM (DESCRIBE SELECT * FROM read_parquet($1))', file);
  const schema = await rows(connection,
      `SELECT name, type, repetition_type, converted_type, logical_type FROM parquet_schema($1)
       WHERE num_children IS NULL`, file);
  console.log(JSON.stringify(schema.map((s, i) => [...s, types[i][1]])));
  console.log(JSON.stringify(await rows(connection,
      'SELECT key, value FROM parquet_kv_metadata($1)', file)));
  console.log(JSON.stringify(await rows(connection,
      `SELECT row_group_id, row_group_num_rows, path_in_schema, num_values, compression,
              stats_null_count, stats_min_value, stats_max_value
       FROM parquet_metadata($1) ORDER BY row_group_id, column_id`, file)));
  for (const row of await rows(connection, 'SELECT * FROM read_parquet($1)', file)) {
    console.log(JSON.stringify(row));
  }
}

main().catch((error) => {
  console.error(`read_parquet: ${error.message}`);
  process.exit(1);
});
