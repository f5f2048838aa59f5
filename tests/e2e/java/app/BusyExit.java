package app;

// Threads still calling methods when the JVM shuts down: either main returns
// while daemon threads run ("return"), or System.exit is called while
// ordinary threads run ("exit").
public class BusyExit {
    public static void main(String[] args) throws InterruptedException {
        boolean viaExit = args.length > 0 && args[0].equals("exit");
        for (int i = 0; i < 4; i++) {
            Thread thread = new Thread(new Worker(Integer.MAX_VALUE));
            thread.setDaemon(!viaExit);
            thread.start();
        }
        Thread.sleep(30);
        if (viaExit) {
            System.exit(0);
        }
    }
}
