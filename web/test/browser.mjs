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
import fs from "node:fs";
import path from "node:path";
import { exitWith, freePort, launchChromium, missing, normalize, option, pageRows, privateFolder,
         Program, showRows, Tmux, until } from "./harness.mjs";

const kEndOfFile = "file: ファイル終端";

// Waits until the page and the telnet client show the same 24 rows, at least `minRows`
// of them with text; returns that count, or throws showing both screens.
async function sameScreens(page, telnet, minRows, timeoutMs) {
  let browserRows = [];
  let telnetRows = [];
  try {
    await until(`the two screens to agree on ${minRows} or more rows`, async () => {
      browserRows = normalize(await pageRows(page));
      telnetRows = telnet.rows("telnet");
      const drawn = browserRows.filter((row) => row.trim() !== "").length;
      return drawn >= minRows && JSON.stringify(browserRows) === JSON.stringify(telnetRows);
    }, timeoutMs);
  } catch (error) {
    showRows("browser", browserRows);
    showRows("telnet", telnetRows);
    throw error;
  }
  return browserRows.filter((row) => row.trim() !== "").length;
}

async function main() {
  const binary = option("--program");
  const recording = option("--recording");
  const screenshot = option("--screenshot");
  if (!binary || !recording) throw new Error("usage: browser.mjs --program P --recording R");
  const absent = missing(["tmux", "telnet"]);
  if (absent) {
    console.log(`SKIP: ${absent} is not installed`);
    return 77;
  }

  const runtime = privateFolder("ombrix-browser-");
  const telnetPort = await freePort();
  const webPort = await freePort();
  const playlist = process.argv.includes("--playlist");
  const recordings = playlist ? ["--playlist", "--gap", "0.5", recording, recording] : [recording];
  const program = new Program(binary, ["--port", String(telnetPort), "--web-port", String(webPort),
                                       ...recordings], runtime);
  const telnet = new Tmux("browser");
  let browser = null;
  try {
    await program.waitForLine(`web: http://127.0.0.1:${webPort}/`);
    telnet.open("telnet", `telnet 127.0.0.1 ${telnetPort}`);
    await program.waitForLine("connection: 127.0.0.1,1");

    browser = await launchChromium();
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
    telnet.stop();
    await program.stop();
    fs.rmSync(runtime, { recursive: true, force: true });
  }
}

exitWith(main);
