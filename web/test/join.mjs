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
import fs from "node:fs";
import net from "node:net";
import path from "node:path";
import { exitWith, freePort, launchChromium, missing, option, pageRows, privateFolder, Program, readTtyrec,
         showRows, sleep, until } from "./harness.mjs";

const kStepSeconds = 1000;
// Only the recent lines matter; a long run prints one for every frame. Each stepped frame
// is awaited, so the lines are looked for often.
const kOutput = { keep: 65536, pollMs: 20 };

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
                                       String(webPort), "--join", "screen", stepped], runtime, kOutput);
  let browser = null;
  try {
    await program.waitForLine(`web: http://127.0.0.1:${webPort}/`);
    browser = await launchChromium();
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
        showRows("early", earlyRows);
        showRows("late", lateRows);
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
                                       "--join", mode, recording], runtime, kOutput);
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
  const browser = await launchChromium();
  try {
    const replay = await timePageJoin(binary, recording, "replay", runtime, browser);
    const screen = await timePageJoin(binary, recording, "screen", runtime, browser);
    for (const [mode, run] of [["replay", replay], ["screen", screen]]) {
      if (run.problems.length > 0) console.log(`${mode} page: ${run.problems.slice(0, 3).join("; ")}`);
    }
    if (replay.rows !== screen.rows) {
      showRows("replay's final rows", JSON.parse(replay.rows));
      showRows("screen's final rows", JSON.parse(screen.rows));
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
  if (missing([])) {
    console.log("SKIP: chromium is not installed");
    return 77;
  }
  const runtime = privateFolder("ombrix-join-");
  try {
    return process.argv.includes("--bench") ? await runBench(binary, recording, runtime)
                                            : await runTest(binary, recording, runtime);
  } finally {
    fs.rmSync(runtime, { recursive: true, force: true });
  }
}

exitWith(main);
