// Runs the peer of the fitting benchmark, the npm package vhacd-js (a voxel-based convex
// decomposition), through its public API on one STL file, and writes its hulls as OBJ:
//
//   node vhacd_run.mjs PREFIX MESH.stl MAX_HULLS MAX_VERTICES OUT.obj
//
// PREFIX is the folder vhacd-js was installed into (npm install --prefix PREFIX vhacd-js).
// The STL (binary or text) is read into an index buffer, corners with identical coordinates
// (after rounding to float, as STL stores them) sharing one index. Every other option of the
// peer keeps its default. Prints one line of key=value pairs: triangles, vertices, hulls,
// cpu_s (user + system CPU time of this process during the decomposition call only, from
// process.cpuUsage) and wall_s (the same call).
import { readFileSync, writeFileSync } from "node:fs";
import { join } from "node:path";
import { pathToFileURL } from "node:url";

function usage() {
  process.stderr.write("usage: node vhacd_run.mjs PREFIX MESH.stl MAX_HULLS MAX_VERTICES OUT.obj\n");
  process.exit(2);
}

// A binary STL is 84 bytes plus 50 a facet, exactly; anything else is read as text.
function isBinaryStl(bytes) {
  if (bytes.length < 84) return false;
  const count = bytes.readUInt32LE(80);
  return bytes.length === 84 + 50 * count;
}

// The corners of every facet, nine floats a facet, in file order.
function readStlCorners(bytes) {
  if (isBinaryStl(bytes)) {
    const count = bytes.readUInt32LE(80);
    const corners = new Float32Array(count * 9);
    for (let i = 0; i < count; ++i) {
      const at = 84 + 50 * i + 12;  // past the normal
      for (let k = 0; k < 9; ++k) corners[9 * i + k] = bytes.readFloatLE(at + 4 * k);
    }
    return corners;
  }
  const text = bytes.toString("latin1");
  const values = [];
  const vertex = /\bvertex\s+(\S+)\s+(\S+)\s+(\S+)/g;
  for (let match; (match = vertex.exec(text)) !== null;) {
    values.push(Number(match[1]), Number(match[2]), Number(match[3]));
  }
  const whole = values.length - (values.length % 9);  // a facet cut short is dropped
  return Float32Array.from(values.slice(0, whole));
}

// Welds corners with identical coordinates into one index; -0 and 0 are one corner.
function indexCorners(corners) {
  const indexOf = new Map();
  const positions = [];
  const indices = new Uint32Array(corners.length / 3);
  for (let c = 0; c < indices.length; ++c) {
    const x = corners[3 * c] + 0, y = corners[3 * c + 1] + 0, z = corners[3 * c + 2] + 0;
    const key = `${x} ${y} ${z}`;
    let index = indexOf.get(key);
    if (index === undefined) {
      index = positions.length / 3;
      indexOf.set(key, index);
      positions.push(x, y, z);
    }
    indices[c] = index;
  }
  return { positions: Float64Array.from(positions), indices };
}

// One "o" per hull, vertex numbers global across the file as OBJ counts them.
function hullsObj(hulls) {
  const lines = [];
  let next = 1;
  hulls.forEach((hull, h) => {
    lines.push(`o hull_${h + 1}`);
    const p = hull.positions;
    for (let i = 0; i < p.length; i += 3) lines.push(`v ${p[i]} ${p[i + 1]} ${p[i + 2]}`);
    const t = hull.indices;
    for (let i = 0; i + 2 < t.length; i += 3) {
      lines.push(`f ${t[i] + next} ${t[i + 1] + next} ${t[i + 2] + next}`);
    }
    next += p.length / 3;
  });
  return lines.join("\n") + "\n";
}

async function main() {
  const args = process.argv.slice(2);
  if (args.length !== 5) usage();
  const [prefix, meshPath, hullsArg, verticesArg, outPath] = args;
  const maxHulls = Number(hullsArg), maxVerticesPerHull = Number(verticesArg);
  if (!Number.isInteger(maxHulls) || maxHulls < 1 || !Number.isInteger(maxVerticesPerHull) ||
      maxVerticesPerHull < 4) {
    usage();
  }
  // The package's own entry point, as its package.json names it.
  const packageDir = join(prefix, "node_modules", "vhacd-js");
  const manifest = JSON.parse(readFileSync(join(packageDir, "package.json"), "utf8"));
  const { ConvexMeshDecomposition } =
      await import(pathToFileURL(join(packageDir, manifest.module)).href);

  const mesh = indexCorners(readStlCorners(readFileSync(meshPath)));
  const decomposer = await ConvexMeshDecomposition.create();
  const options = { maxHulls, maxVerticesPerHull };

  const wallStart = process.hrtime.bigint();
  const cpuStart = process.cpuUsage();
  const hulls = decomposer.computeConvexHulls(mesh, options);
  const cpu = process.cpuUsage(cpuStart);
  const wall = Number(process.hrtime.bigint() - wallStart) / 1e9;

  writeFileSync(outPath, hullsObj(hulls));
  const cpuSeconds = (cpu.user + cpu.system) / 1e6;
  process.stdout.write(`triangles=${mesh.indices.length / 3} vertices=${mesh.positions.length / 3} ` +
                       `hulls=${hulls.length} cpu_s=${cpuSeconds.toFixed(3)} ` +
                       `wall_s=${wall.toFixed(3)}\n`);
}

main().catch((error) => {
  process.stderr.write(`vhacd_run: ${error && error.stack ? error.stack : error}\n`);
  process.exit(1);
});
