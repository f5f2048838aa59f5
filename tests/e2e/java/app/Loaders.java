package app;

import java.io.ByteArrayOutputStream;
import java.io.IOException;
import java.io.InputStream;
import java.net.URL;
import java.net.URLClassLoader;
import java.util.function.IntUnaryOperator;

// Two loaders of the program's own each define a class of the same name,
// app.PluginA: one the usual way (its parent, the platform loader, first),
// the other asking its parent for java.* alone, as plug-in systems do. Both
// classes' methods are called on objects of each, in turns.
public class Loaders {
    // Defines every class but java.* itself, from the program's own class files.
    static final class OwnFirst extends ClassLoader {
        private final URL classes;

        OwnFirst(URL classes) {
            super(null);
            this.classes = classes;
        }

        @Override
        protected Class<?> loadClass(String name, boolean resolve) throws ClassNotFoundException {
            synchronized (getClassLoadingLock(name)) {
                if (name.startsWith("java.")) return super.loadClass(name, resolve);
                Class<?> found = findLoadedClass(name);
                if (found == null) found = findClass(name);
                if (resolve) resolveClass(found);
                return found;
            }
        }

        @Override
        protected Class<?> findClass(String name) throws ClassNotFoundException {
            String file = name.replace('.', '/') + ".class";
            try (InputStream in = new URL(classes, file).openStream()) {
                ByteArrayOutputStream bytes = new ByteArrayOutputStream();
                in.transferTo(bytes);
                byte[] data = bytes.toByteArray();
                return defineClass(name, data, 0, data.length);
            } catch (IOException e) {
                throw new ClassNotFoundException(name, e);
            }
        }
    }

    public static void main(String[] args) throws Exception {
        URL classes = Loaders.class.getProtectionDomain().getCodeSource().getLocation();
        int calls = Integer.parseInt(args[0]);
        try (URLClassLoader usual =
                new URLClassLoader(new URL[] {classes}, ClassLoader.getPlatformClassLoader())) {
            Class<?> first = usual.loadClass("app.PluginA");
            Class<?> second = new OwnFirst(classes).loadClass("app.PluginA");
            System.out.println("same name, " + (first == second ? "one class" : "two classes"));
            IntUnaryOperator[] plugins = new IntUnaryOperator[4];
            for (int i = 0; i < plugins.length; i++) {
                Class<?> cls = i % 2 == 0 ? first : second;
                plugins[i] = (IntUnaryOperator) cls.getDeclaredConstructor().newInstance();
            }
            long sum = 0;
            for (int i = 0; i < calls; i++) sum += plugins[i % plugins.length].applyAsInt(i);
            System.out.println("sum " + sum);
        }
    }
}
