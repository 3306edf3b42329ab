// The page in a real browser beside the real telnet client: the program plays a recording
// to telnet (Debian's client, in an 80x24 tmux pane) and to headless Chromium, the page's
// buttons take the speed to 100, and once the recording has ended both terminals must
// show the same 24 rows.
//
// With --playlist, the recording plays twice as a list, with the terminal reset between:
// both terminals must then agree on the second run's screen, and the page must name it.
//
// Usage: node browser.mjs --program PATH --recording PATH [--playlist] [--screenshot PNG]
// Exit status 77 when chromium, tmux or telnet is missing (scripts/test installs them).
import { spawn, spawnSync } from "node:child_process";
import fs from "node:fs";
import net from "node:net";
import os from "node:os";
import path from "node:path";
import { chromium } from "playwright-core";

const kChromium = "/usr/bin/chromium";
const kWaitMs = 20000;
const kEndOfFile = "file: ファイル終端";

function option(name) {
  const at = process.argv.indexOf(name);
  return at > 0 ? process.argv[at + 1] : undefined;
}

function installed(program) {
  return spawnSync("sh", ["-c", `command -v ${program}`]).status === 0;
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

async function until(what, condition, timeoutMs = kWaitMs) {
  const end = Date.now() + timeoutMs;
  for (;;) {
    const value = await condition();
    if (value) return value;
    if (Date.now() > end) throw new Error("timed out waiting for " + what);
    await sleep(50);
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
    this.child.stdout.on("data", (chunk) => (this.output += chunk));
    this.child.stderr.on("data", (chunk) => (this.errors += chunk));
    this.exited = new Promise((resolve) => this.child.once("exit", resolve));
  }
  hasLine(line) {
    return this.output.split("\n").includes(line);
  }
  waitForLine(line) {
    return until(`"${line}" (output so far:\n${this.output}${this.errors})`,
                 () => this.hasLine(line));
  }
  async stop() {
    if (this.child.exitCode === null) this.child.kill("SIGTERM");
    await Promise.race([this.exited, sleep(5000)]);
    if (this.child.exitCode === null) this.child.kill("SIGKILL");
  }
}

// A tmux server of our own with the telnet client in one 80x24 pane.
class TelnetInTmux {
  constructor(port) {
    this.name = `ombrix-browser-${process.pid}`;
    this.run(["new-session", "-d", "-x", "80", "-y", "24", `telnet 127.0.0.1 ${port}`]);
    this.pid = Number(this.run(["display-message", "-p", "#{pid}"]).trim());
  }
  run(args) {
    return spawnSync("tmux", ["-u", "-L", this.name, ...args],
                     { encoding: "utf8", env: { ...process.env, LANG: "C.UTF-8" } }).stdout;
  }
  rows() {
    return this.run(["capture-pane", "-p"]).split("\n").slice(0, 24);
  }
  stop() {
    this.run(["kill-server"]);
    if (this.pid > 0) {
      try { process.kill(this.pid, "SIGKILL"); } catch { /* already gone */ }
    }
  }
}

function normalize(rows) {
  const out = rows.map((row) => row.replace(/\u00a0/g, " ").trimEnd());
  while (out.length < 24) out.push("");
  return out;
}

async function pageRows(page) {
  return normalize(await page.$$eval(".xterm-rows > div", (divs) => divs.map((d) => d.textContent)));
}

// Waits until the page and the telnet client show the same 24 rows, at least `minRows`
// of them with text; returns that count, or throws showing both screens.
async function sameScreens(page, telnet, minRows, timeoutMs) {
  let browserRows = [];
  let telnetRows = [];
  try {
    await until(`the two screens to agree on ${minRows} or more rows`, async () => {
      browserRows = await pageRows(page);
      telnetRows = normalize(telnet.rows());
      const drawn = browserRows.filter((row) => row.trim() !== "").length;
      return drawn >= minRows && JSON.stringify(browserRows) === JSON.stringify(telnetRows);
    }, timeoutMs);
  } catch (error) {
    console.log("browser:\n" + browserRows.map((r) => "|" + r).join("\n"));
    console.log("telnet:\n" + telnetRows.map((r) => "|" + r).join("\n"));
    throw error;
  }
  return browserRows.filter((row) => row.trim() !== "").length;
}

async function main() {
  const binary = option("--program");
  const recording = option("--recording");
  const screenshot = option("--screenshot");
  if (!binary || !recording) throw new Error("usage: browser.mjs --program P --recording R");
  for (const program of ["tmux", "telnet"]) {
    if (!installed(program)) {
      console.log(`SKIP: ${program} is not installed`);
      return 77;
    }
  }
  if (!fs.existsSync(kChromium)) {
    console.log("SKIP: chromium is not installed");
    return 77;
  }

  const runtime = fs.mkdtempSync(path.join(os.tmpdir(), "ombrix-browser-"));
  fs.chmodSync(runtime, 0o700);
  const telnetPort = await freePort();
  const webPort = await freePort();
  const playlist = process.argv.includes("--playlist");
  const recordings = playlist ? ["--playlist", "--gap", "0.5", recording, recording] : [recording];
  const program = new Program(binary, ["--port", String(telnetPort), "--web-port", String(webPort),
                                       ...recordings], runtime);
  let telnet = null;
  let browser = null;
  try {
    await program.waitForLine(`web: http://127.0.0.1:${webPort}/`);
    telnet = new TelnetInTmux(telnetPort);
    await program.waitForLine("connection: 127.0.0.1,1");

    browser = await chromium.launch({
      executablePath: kChromium,
      headless: true,
      args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync"],
    });
    const page = await browser.newPage({ viewport: { width: 1000, height: 640 } });
    const problems = [];
    page.on("console", (m) => { if (m.type() === "error") problems.push(m.text()); });
    page.on("pageerror", (e) => problems.push(String(e)));
    page.on("requestfailed", (r) => problems.push("failed: " + r.url()));

    await page.goto(`http://127.0.0.1:${webPort}/`);
    await until("the page to connect",
                async () => (await page.textContent("#state")) === "connected");
    await program.waitForLine("connection: 127.0.0.1,2");
    // Mid-way, at speed 1: the page joined late, and what it caught up on must draw the
    // same screen as the telnet client shows, once a frame has had time to settle.
    const midway = await sameScreens(page, telnet, 5, 20000);
    for (let i = 0; i < 7; ++i) await page.click("button[data-key=f]");
    await program.waitForLine("speed: 100");
    await until("the page to show speed 100",
                async () => (await page.textContent("#speed")) === "×100");
    if (playlist) {
      const second = `${path.basename(recording)} (2/2)`;
      await program.waitForLine("file: " + second);
      await until("the page to name the second run",
                  async () => (await page.textContent("#name")) === second);
      await until("the end of the second run",
                  () => program.output.split("\n").filter((l) => l === kEndOfFile).length >= 2);
    } else {
      await program.waitForLine(kEndOfFile);
    }

    // Both terminals take a moment to draw the last bytes.
    const drawn = await sameScreens(page, telnet, 3, 5000);
    if (problems.length > 0) throw new Error("the page reported: " + problems.join("; "));
    if (screenshot) await page.screenshot({ path: screenshot });
    console.log(`PASS: the same rows in the browser and in telnet, mid-way (${midway} with text) ` +
                `and at the end (${drawn})`);
    return 0;
  } finally {
    if (browser) await browser.close();
    if (telnet) telnet.stop();
    await program.stop();
    fs.rmSync(runtime, { recursive: true, force: true });
  }
}

main().then((status) => process.exit(status), (error) => {
  console.error("FAIL: " + (error && error.message ? error.message : error));
  process.exit(1);
});
