// The page's terminal feed, against a terminal that draws only when told to: it must
// never hold more than its limit undrawn, lose or reorder a byte, or make a change to the
// terminal before the bytes that came before it are drawn.
//   node feed.mjs
import assert from "node:assert/strict";
import fs from "node:fs";
import path from "node:path";
import vm from "node:vm";

const source = fs.readFileSync(path.join(path.dirname(new URL(import.meta.url).pathname),
                                         "..", "feed.js"), "utf8");
const context = { window: {} };
vm.runInNewContext(source, context);
const createTerminalFeed = context.window.ombrixTerminalFeed;

// Takes writes like xterm.js and draws them, callbacks in order, when `drawSome` is called.
function slowTerminal(events) {
  const undrawn = [];
  return {
    undrawnBytes: () => undrawn.reduce((sum, [bytes]) => sum + bytes.length, 0),
    write(bytes, done) { undrawn.push([bytes, done]); },
    drawSome(count) {
      for (const [bytes, done] of undrawn.splice(0, count)) {
        events.push(...bytes);
        done();
      }
    },
  };
}

const kLimit = 1000;
const events = [];
const term = slowTerminal(events);
const feed = createTerminalFeed(term, kLimit);
const expected = [];
let most = 0;
for (let chunk = 0; chunk < 500; ++chunk) {
  const bytes = Uint8Array.from({ length: 1 + (chunk * 37) % 300 }, (_, i) => (chunk + i) % 256);
  feed.write(bytes);
  expected.push(...bytes);
  if (chunk % 50 === 49) {
    feed.change(() => events.push(`size ${chunk}`));
    expected.push(`size ${chunk}`);
  }
  most = Math.max(most, term.undrawnBytes());
  if (chunk % 3 === 0) term.drawSome(2);
}
while (term.undrawnBytes() > 0) {
  term.drawSome(1);
  most = Math.max(most, term.undrawnBytes());
}
assert.ok(most < kLimit + 300, `the terminal held ${most} bytes undrawn`);
assert.deepEqual(events, expected, "the terminal got the bytes and changes out of order");

// A new connection forgets what had not been handed on; what was handed is drawn first.
events.length = 0;
feed.write(new Uint8Array(kLimit).fill(1));
feed.write(new Uint8Array(10).fill(2));
feed.drop();
feed.change(() => events.push("reset"));
feed.write(new Uint8Array([3]));
assert.deepEqual(events, []);
term.drawSome(1);
term.drawSome(1);
assert.equal(events.filter((e) => e === 2).length, 0, "dropped bytes reached the terminal");
assert.deepEqual(events.slice(-2), ["reset", 3]);
console.log("PASS: the feed kept its limit, its order and its drops");
