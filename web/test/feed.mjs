// The page's terminal feed against a terminal that draws only when told to: it must never
// hold more than its limit undrawn, lose or reorder a byte, or make a change before the
// bytes ahead of it are drawn; a drop forgets only what was not handed on.
import assert from "node:assert/strict";
import fs from "node:fs";
import vm from "node:vm";

const context = { window: {} };
vm.runInNewContext(fs.readFileSync(new URL("../feed.js", import.meta.url), "utf8"), context);
const drawn = [];
const undrawn = [];
const undrawnBytes = () => undrawn.reduce((sum, [bytes]) => sum + bytes.length, 0);
const drawSome = (count) => undrawn.splice(0, count).forEach(([bytes, done]) => {
  drawn.push(...bytes);
  done();
});
const terminal = { write: (bytes, done) => undrawn.push([bytes, done]) };
const feed = context.window.ombrixTerminalFeed(terminal, 1000);

const expected = [];
let most = 0;
for (let chunk = 0; chunk < 500; ++chunk) {
  const bytes = Uint8Array.from({ length: 1 + (chunk * 37) % 300 }, (_, i) => (chunk + i) % 256);
  feed.write(bytes);
  expected.push(...bytes);
  if (chunk % 50 === 49) {
    feed.change(() => drawn.push(`size ${chunk}`));
    expected.push(`size ${chunk}`);
  }
  most = Math.max(most, undrawnBytes());
  if (chunk % 3 === 0) drawSome(2);
}
while (undrawn.length > 0) drawSome(1);
assert.ok(most < 1000 + 300, `the terminal held ${most} bytes undrawn`);
assert.deepEqual(drawn, expected, "the terminal got the bytes and changes out of order");

drawn.length = 0;
feed.write(new Uint8Array(1000).fill(1));
feed.write(new Uint8Array([2]));
feed.drop();
feed.change(() => drawn.push("reset"));
feed.write(new Uint8Array([3]));
while (undrawn.length > 0) drawSome(1);
assert.deepEqual(drawn.slice(-3), [1, "reset", 3], "a drop lost handed bytes or kept others");
console.log("PASS: the feed kept its limit, its order and its drops");
