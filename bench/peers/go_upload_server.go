// Peer of bench/serve_compare: an upload server on Go's standard library
// alone. net/http reads the request; MultipartReader walks the form and
// io.Copy streams the file field upload1 to disk under its client name (base
// name only), answering once the file is written and closed.
//
//	go_upload_server DIR     prints "listening PORT" on 127.0.0.1
package main

import (
	"fmt"
	"io"
	"net"
	"net/http"
	"os"
	"path/filepath"
)

func upload(dir string) http.HandlerFunc {
	return func(w http.ResponseWriter, r *http.Request) {
		if r.Method != http.MethodPost {
			http.NotFound(w, r)
			return
		}
		form, err := r.MultipartReader()
		if err != nil {
			http.Error(w, err.Error(), http.StatusBadRequest)
			return
		}
		stored := ""
		for {
			part, err := form.NextPart()
			if err == io.EOF {
				break
			}
			if err != nil {
				http.Error(w, err.Error(), http.StatusBadRequest)
				return
			}
			if part.FormName() != "upload1" || part.FileName() == "" {
				continue // NextPart skips the rest of this part
			}
			name := filepath.Base(part.FileName())
			out, err := os.Create(filepath.Join(dir, name))
			if err != nil {
				http.Error(w, err.Error(), http.StatusInternalServerError)
				return
			}
			_, err = io.Copy(out, part)
			if closeErr := out.Close(); err == nil {
				err = closeErr
			}
			if err != nil {
				http.Error(w, err.Error(), http.StatusInternalServerError)
				return
			}
			stored = name
		}
		w.Header().Set("Content-Type", "application/json")
		fmt.Fprintf(w, "{\"Result\":%q}", stored)
	}
}

func main() {
	if len(os.Args) != 2 {
		fmt.Fprintln(os.Stderr, "usage: go_upload_server DIR")
		os.Exit(2)
	}
	listener, err := net.Listen("tcp", "127.0.0.1:0")
	if err != nil {
		fmt.Fprintln(os.Stderr, err)
		os.Exit(1)
	}
	fmt.Printf("listening %d\n", listener.Addr().(*net.TCPAddr).Port)
	http.Serve(listener, upload(os.Args[1]))
}
