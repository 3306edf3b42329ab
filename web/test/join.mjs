// Pages that join late with --join screen, in headless Chromium.
//
// Test (default): the program plays a recording stepped by the next-frame key, to a page
// that watched from the start; at five points a second page joins, and its rows must
// equal the early page's. No newcomer may fall back to the replay.
//   node join.mjs --program PATH --recording TTYREC
//
// Benchmark (--bench): the recording plays at speed 100 up to its last frame, which waits;
// then a page joins, once with --join replay and once with --join screen, and the time
// from opening the page until it shows its final rows is printed, with whether the two
// final screens agree:
//   node join.mjs --bench --program PATH --recording TTYREC
//   -> "page-join replay-ms N screen-ms M same yes after-load replay-ms N' screen-ms M'"
// Exit status 77 when chromium is missing (scripts/test installs it).
import { spawn } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { chromium } from "playwright-core";

const kChromium = "/usr/bin/chromium";
const kStepSeconds = 1000;

function option(name) {
  const at = process.argv.indexOf(name);
  return at > 0 ? process.argv[at + 1] : undefined;
}

function freePort() {
  return new Promise((resolve, reject) => {
    const server = net.createServer();
    server.once("error", reject);
    server.listen(0, "127.0.0.1", () => {
      const { port } = server.address();
      server.close(() => resolve(port));
    });
  });
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

async function until(what, condition, timeoutMs = 20000) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const value = await condition();
    if (value) return value;
    if (Date.now() > end) throw new Error("timed out waiting for " + what);
    await sleep(20);
  }
}

// The program, headless, with a runtime folder of its own; its status lines are kept.
class Program {
  constructor(binary, args, runtime) {
    this.output = "";
    this.errors = "";
    this.child = spawn(binary, ["--headless", ...args], {
      env: { ...process.env, XDG_RUNTIME_DIR: runtime, QT_QPA_PLATFORM: "offscreen" },
      stdio: ["ignore", "pipe", "pipe"],
    });
    this.child.stdout.on("data", (chunk) => {
      // Only the recent lines matter; a long run prints one for every frame.
      this.output = (this.output + chunk).slice(-65536);
    });
    this.child.stderr.on("data", (chunk) => (this.errors += chunk));
    this.exited = new Promise((resolve) => this.child.once("exit", resolve));
  }
  hasLine(line) {
    return this.output.split("\n").includes(line);
  }
  waitForLine(line, timeoutMs) {
    return until(`"${line}" (errors so far:\n${this.errors})`, () => this.hasLine(line),
                 timeoutMs);
  }
  async stop() {
    if (this.child.exitCode === null) this.child.kill("SIGTERM");
    await Promise.race([this.exited, sleep(5000)]);
    if (this.child.exitCode === null) this.child.kill("SIGKILL");
  }
}

// The frames of a ttyrec file: [seconds, microseconds, body].
function readTtyrec(file) {
  const bytes = fs.readFileSync(file);
  const frames = [];
  for (let at = 0; at + 12 <= bytes.length;) {
    const length = bytes.readUInt32LE(at + 8);
    frames.push([bytes.readUInt32LE(at), bytes.readUInt32LE(at + 4),
                 bytes.subarray(at + 12, at + 12 + length)]);
    at += 12 + length;
  }
  return frames;
}

function writeTtyrec(file, frames) {
  const parts = [];
  for (const [seconds, micros, body] of frames) {
    const header = Buffer.alloc(12);
    header.writeUInt32LE(seconds, 0);
    header.writeUInt32LE(micros, 4);
    header.writeUInt32LE(body.length, 8);
    parts.push(header, body);
  }
  fs.writeFileSync(file, Buffer.concat(parts));
}

async function pageRows(page) {
  const rows = await page.$$eval(".xterm-rows > div", (divs) => divs.map((d) => d.textContent));
  return rows.map((row) => row.replace(/\u00a0/g, " ").trimEnd());
}

async function launchBrowser() {
  return chromium.launch({
    executablePath: kChromium,
    headless: true,
    args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
           "--disable-background-networking", "--disable-component-update", "--disable-sync"],
  });
}

async function openPage(browser, url) {
  const page = await browser.newPage({ viewport: { width: 1000, height: 640 } });
  await page.goto(url);
  await until("the page to connect", async () => (await page.textContent("#state")) === "connected");
  return page;
}

async function runTest(binary, recording, runtime) {
  const frames = readTtyrec(recording);
  const stepped = path.join(runtime, "stepped.ttyrec");
  writeTtyrec(stepped, frames.map(([, , body], i) => [i * kStepSeconds, 0, body]));
  const webPort = await freePort();
  const program = new Program(binary, ["--port", String(await freePort()), "--web-port",
                                       String(webPort), "--join", "screen", stepped], runtime);
  let browser = null;
  try {
    await program.waitForLine(`web: http://127.0.0.1:${webPort}/`);
    browser = await launchBrowser();
    const url = `http://127.0.0.1:${webPort}/`;
    const early = await openPage(browser, url);
    let played = 0;
    const last = frames.length - 1;
    for (let i = 0; i < 5; ++i) {
      const cut = 1 + Math.floor((i * 2 + 1) * last / 10);
      for (; played < cut; ++played) {
        // The first frame goes by itself; slower than a viewer's key rate allows after it.
        if (played > 0) {
          await sleep(25);
          await early.click("button[data-key=' ']");
        }
        await program.waitForLine(`time: ${(played + 1) * kStepSeconds}秒`);
      }
      const late = await openPage(browser, url);
      let earlyRows = [];
      let lateRows = [];
      try {
        await until(`the late page to show the early page's rows after frame ${cut}`, async () => {
          earlyRows = await pageRows(early);
          lateRows = await pageRows(late);
          return JSON.stringify(earlyRows) === JSON.stringify(lateRows);
        }, 10000);
      } catch (error) {
        console.log("early:\n" + earlyRows.map((r) => "|" + r).join("\n"));
        console.log("late:\n" + lateRows.map((r) => "|" + r).join("\n"));
        throw error;
      }
      await late.close();
    }
    if (program.errors.includes("newcomers get the replay")) {
      throw new Error("a newcomer got the replay: " + program.errors);
    }
    console.log(`PASS: five late pages showed the early page's rows`);
    return 0;
  } finally {
    if (browser) await browser.close();
    await program.stop();
  }
}

// Plays the recording at speed 100 up to its last frame, then opens a page: the
// milliseconds until it shows its final rows, and those rows.
async function timePageJoin(binary, recording, mode, runtime, browser) {
  const frames = readTtyrec(recording);
  const [lastSeconds, lastMicros] = frames[frames.length - 1];
  const elapsedMicros = (lastSeconds - frames[0][0]) * 1e6 + lastMicros - frames[0][1];
  const lastTime = `time: ${Math.floor(elapsedMicros / 1e6)}秒`;
  const port = await freePort();
  const webPort = await freePort();
  const program = new Program(binary, ["--port", String(port), "--web-port", String(webPort),
                                       "--join", mode, recording], runtime);
  const driver = new net.Socket();
  try {
    await program.waitForLine(`web: http://127.0.0.1:${webPort}/`);
    driver.on("data", () => {});
    await new Promise((resolve) => driver.connect(port, "127.0.0.1", resolve));
    driver.write("+++++++");
    await program.waitForLine(lastTime, 900000);
    const page = await browser.newPage({ viewport: { width: 1000, height: 640 } });
    // What the page's terminal says when it drops bytes it could not keep up with.
    const problems = [];
    page.on("console", (m) => { if (m.type() === "error") problems.push(m.text()); });
    page.on("pageerror", (e) => problems.push(String(e)));
    const start = Date.now();
    await page.goto(`http://127.0.0.1:${webPort}/`);
    // The page's own load (the terminal's script, the fonts) is the same in both modes.
    const loaded = Date.now() - start;
    const seen = [];
    // Final once nothing has changed for three seconds.
    for (;;) {
      const rows = JSON.stringify(await pageRows(page));
      const now = Date.now() - start;
      if (seen.length === 0 || seen[seen.length - 1].rows !== rows) seen.push({ at: now, rows });
      if (now - seen[seen.length - 1].at > 3000 && rows.replace(/[\[\]", ]/g, "") !== "") break;
      if (now > 900000) throw new Error("the page never settled");
      await sleep(5);
    }
    await page.close();
    const final = seen[seen.length - 1];
    return { ms: final.at, afterLoadMs: final.at - loaded, rows: final.rows, problems };
  } finally {
    driver.destroy();
    await program.stop();
  }
}

async function runBench(binary, recording, runtime) {
  const browser = await launchBrowser();
  try {
    const replay = await timePageJoin(binary, recording, "replay", runtime, browser);
    const screen = await timePageJoin(binary, recording, "screen", runtime, browser);
    for (const [mode, run] of [["replay", replay], ["screen", screen]]) {
      if (run.problems.length > 0) console.log(`${mode} page: ${run.problems.slice(0, 3).join("; ")}`);
    }
    if (replay.rows !== screen.rows) {
      console.log("replay's final rows:\n" + JSON.parse(replay.rows).map((r) => "|" + r).join("\n"));
      console.log("screen's final rows:\n" + JSON.parse(screen.rows).map((r) => "|" + r).join("\n"));
    }
    console.log(`page-join replay-ms ${replay.ms} screen-ms ${screen.ms} ` +
                `same ${replay.rows === screen.rows ? "yes" : "no"} ` +
                `after-load replay-ms ${replay.afterLoadMs} screen-ms ${screen.afterLoadMs}`);
    return 0;
  } finally {
    await browser.close();
  }
}

async function main() {
  const binary = option("--program");
  const recording = option("--recording");
  if (!binary || !recording) throw new Error("usage: join.mjs --program P --recording R");
  if (!fs.existsSync(kChromium)) {
    console.log("SKIP: chromium is not installed");
    return 77;
  }
  const runtime = fs.mkdtempSync(path.join(os.tmpdir(), "ombrix-join-"));
  fs.chmodSync(runtime, 0o700);
  try {
    return process.argv.includes("--bench") ? await runBench(binary, recording, runtime)
                                            : await runTest(binary, recording, runtime);
  } finally {
    fs.rmSync(runtime, { recursive: true, force: true });
  }
}

main().then((status) => process.exit(status), (error) => {
  console.error("FAIL: " + (error && error.message ? error.message : error));
  process.exit(1);
});
